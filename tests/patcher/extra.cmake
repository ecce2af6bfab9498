target_link_libraries(${name}_tests PRIVATE tinyxml)
# The apply tests run the real patchapply program: build it with them and tell
# them where it is.
add_dependencies(${name}_tests patchapply)
target_compile_definitions(${name}_tests PRIVATE PORTICO_PATCHAPPLY_PATH="$<TARGET_FILE:patchapply>")
# The updater-launch tests copy a small stand-in for the self-updater beside the
# test program: build it with them and tell them where it is.
add_executable(upkeep_standin ${CMAKE_CURRENT_SOURCE_DIR}/patcher/standin/upkeep_standin.c)
add_dependencies(${name}_tests upkeep_standin)
target_compile_definitions(${name}_tests PRIVATE PORTICO_UPKEEP_STANDIN="$<TARGET_FILE:upkeep_standin>")
# The driver tests run the real patchctl program.
add_dependencies(${name}_tests patchctl)
target_compile_definitions(${name}_tests PRIVATE PORTICO_PATCHCTL_PATH="$<TARGET_FILE:patchctl>")
