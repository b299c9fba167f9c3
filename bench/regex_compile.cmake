# PCRE2 (8-bit) as the peer for pattern compilation.
find_package(PkgConfig REQUIRED)
pkg_check_modules(REGEX_COMPILE_BENCH_PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
target_link_libraries(regex_compile_bench PRIVATE PkgConfig::REGEX_COMPILE_BENCH_PCRE2)
