# The outside library's stand-ins, loaded by the binding tests from a program
# folder of their own: a whole one, and one without Hostlink_Remove.
foreach(variant hostlink_test hostlink_broken)
  add_library(${variant} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/frontend/hostlink/hostlink_test_lib.c)
  target_include_directories(${variant} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${variant} PRIVATE Threads::Threads)
  add_dependencies(${name}_tests ${variant})
endforeach()
target_compile_definitions(hostlink_broken PRIVATE HOSTLINK_TEST_BROKEN)
target_compile_definitions(${name}_tests PRIVATE
  PORTICO_HOSTLINK_TEST="$<TARGET_FILE:hostlink_test>"
  PORTICO_HOSTLINK_BROKEN="$<TARGET_FILE:hostlink_broken>")
target_link_libraries(${name}_tests PRIVATE ${CMAKE_DL_LIBS})
# The window tests start the launcher program itself.
add_dependencies(${name}_tests portico)
target_compile_definitions(${name}_tests PRIVATE PORTICO_PROGRAM="$<TARGET_FILE:portico>")

# The page bridge's probe: a real WebKitGTK view under Xvfb with its own D-Bus
# session, loading the extension from the build's webext folder.
add_executable(bridge_probe ${CMAKE_CURRENT_SOURCE_DIR}/frontend/probe/bridge_probe.cpp)
target_link_libraries(bridge_probe PRIVATE frontend test_support)
add_dependencies(bridge_probe porticobridge)
add_dependencies(${name}_tests bridge_probe)
add_test(NAME FrontendProbe.PageBridge
  COMMAND xvfb-run -a dbus-run-session -- $<TARGET_FILE:bridge_probe> ${CMAKE_BINARY_DIR}/webext)
# GTK and its libraries keep caches until exit: no leak report for this program.
set_tests_properties(FrontendProbe.PageBridge PROPERTIES
  LABELS frontend TIMEOUT 600 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
# The self-update test runs the self-updater beside a copy of the launcher.
add_dependencies(${name}_tests upkeep)
target_compile_definitions(${name}_tests PRIVATE PORTICO_UPKEEP_PATH="$<TARGET_FILE:upkeep>")
# The demo tests run tools/demo on this build's patchctl and portico.
add_dependencies(${name}_tests patchctl)
