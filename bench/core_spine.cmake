# The CRC-32 reference: libdeflate's libdeflate_crc32.
find_library(DEFLATE_LIBRARY deflate REQUIRED)
target_link_libraries(bench_${name} PRIVATE ${DEFLATE_LIBRARY})
