# The pattern-set benchmark measures against Hyperscan when its development
# package is installed; without it the benchmark still builds, with our runs
# alone.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(QELCH_BENCH_HS QUIET IMPORTED_TARGET libhs)
endif()
if(QELCH_BENCH_HS_FOUND)
  target_link_libraries(multi_bench PRIVATE PkgConfig::QELCH_BENCH_HS)
  target_compile_definitions(multi_bench PRIVATE QELCH_BENCH_HAVE_HS=1)
else()
  message(STATUS "Hyperscan not found: multi_bench runs without its peer")
endif()
