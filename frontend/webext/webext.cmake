# The page bridge's web-process extension, alone in webext/ beside the programs
# (WebKit loads every shared object of that folder). Built without the
# sanitizers: the web process that loads it is not instrumented.
pkg_check_modules(WEBEXT REQUIRED IMPORTED_TARGET webkit2gtk-web-extension-4.1)
add_library(porticobridge MODULE ${CMAKE_SOURCE_DIR}/frontend/webext/pagebridge.cpp
  ${CMAKE_SOURCE_DIR}/frontend/bridgeframe.cpp)
target_include_directories(porticobridge PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(porticobridge PRIVATE PkgConfig::WEBEXT)
set(webext_options -Wall -Wextra)
if(PORTICO_WERROR)
  list(APPEND webext_options -Werror)
endif()
set_target_properties(porticobridge PROPERTIES
  COMPILE_OPTIONS "${webext_options}" LINK_OPTIONS ""
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/webext)
add_dependencies(frontend porticobridge)
# WebKit's JavaScriptCore is built without RTTI and binds to the program's copies
# of inline library functions (shared_ptr's release among them): their dynamic
# type check would fault on WebKit's own objects.
if(PORTICO_SANITIZE)
  target_compile_options(frontend PRIVATE -fno-sanitize=vptr)
endif()
