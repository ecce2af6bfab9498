# The reference window is GTK with WebKitGTK, as the front end's; the case
# starts the build's portico, whose page bridge is its webext module.
target_link_libraries(bench_${name} PRIVATE PkgConfig::GTK)
add_dependencies(bench_${name} portico porticobridge)
