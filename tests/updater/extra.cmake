# The end-to-end tests run the real self-updater program: build it with them
# and tell them where it is. The crash-dump tests also run a program that
# crashes on purpose and the dump reader.
add_executable(crash_victim ${CMAKE_CURRENT_SOURCE_DIR}/updater/crash_victim.cc)
target_link_libraries(crash_victim PRIVATE core)
add_dependencies(${name}_tests upkeep crash_victim dumpreader)
target_compile_definitions(${name}_tests PRIVATE PORTICO_UPKEEP_PATH="$<TARGET_FILE:upkeep>"
  PORTICO_CRASH_VICTIM_PATH="$<TARGET_FILE:crash_victim>"
  PORTICO_DUMPREADER_PATH="$<TARGET_FILE:dumpreader>")
