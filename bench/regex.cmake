# The regular-expression benchmark runs the same searches with PCRE2
# (interpreter and JIT) and RE2 in one program.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QELCH_BENCH_PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(QELCH_BENCH_RE2 REQUIRED IMPORTED_TARGET re2)
target_link_libraries(regex_bench PRIVATE PkgConfig::QELCH_BENCH_PCRE2 PkgConfig::QELCH_BENCH_RE2)
