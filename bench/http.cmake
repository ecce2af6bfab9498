# The many-documents reference: libcurl with one reused easy handle.
find_package(CURL REQUIRED)
target_link_libraries(bench_${name} PRIVATE CURL::libcurl)
