# The modular exponentiation reference: GMP's mpz_powm.
find_library(GMP_LIBRARY gmp REQUIRED)
target_link_libraries(bench_${name} PRIVATE ${GMP_LIBRARY} Threads::Threads)
