# The linear-path benchmark switches the path off through an internal entry
# point, so it links the static library; RE2 is the linear-time peer.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QELCH_LINEAR_BENCH_RE2 REQUIRED IMPORTED_TARGET re2)
target_link_libraries(regex_linear_bench PRIVATE qelch_static PkgConfig::QELCH_LINEAR_BENCH_RE2)
