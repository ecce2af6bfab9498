# The XML loading reference: pugixml's load_file.
find_package(pugixml REQUIRED CONFIG)
target_link_libraries(bench_${name} PRIVATE pugixml::pugixml)
