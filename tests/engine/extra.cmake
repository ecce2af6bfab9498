target_sources(${name}_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/net/nginx_server.cpp)
