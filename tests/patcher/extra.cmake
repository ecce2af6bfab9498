target_link_libraries(${name}_tests PRIVATE tinyxml)
# The apply tests run the real patchapply program: build it with them and tell
# them where it is.
add_dependencies(${name}_tests patchapply)
target_compile_definitions(${name}_tests PRIVATE PORTICO_PATCHAPPLY_PATH="$<TARGET_FILE:patchapply>")
