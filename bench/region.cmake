# The window's shape against GDK's region from a surface.
target_link_libraries(bench_${name} PRIVATE frontend)
