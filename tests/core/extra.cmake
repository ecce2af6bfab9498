# The CRC-32 tests check the core's own CRC against zlib's.
target_link_libraries(${name}_tests PRIVATE ZLIB::ZLIB)
