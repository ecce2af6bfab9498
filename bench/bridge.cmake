# The page bridge lives in the front end's library; its extension is loaded
# from the build's webext folder.
target_link_libraries(bench_${name} PRIVATE frontend)
add_dependencies(bench_${name} porticobridge)
