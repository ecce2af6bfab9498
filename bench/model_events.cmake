# The launcher model lives in the front end's library.
target_link_libraries(bench_${name} PRIVATE frontend)
