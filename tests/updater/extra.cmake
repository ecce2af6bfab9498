# The end-to-end tests run the real self-updater program: build it with them
# and tell them where it is.
add_dependencies(${name}_tests upkeep)
target_compile_definitions(${name}_tests PRIVATE PORTICO_UPKEEP_PATH="$<TARGET_FILE:upkeep>")
