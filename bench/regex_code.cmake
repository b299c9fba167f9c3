# The source-code benchmark pairs qelch with PCRE2 (interpreter and JIT) and
# RE2, like the regular-expression benchmark.
find_package(PkgConfig REQUIRED)
if(NOT TARGET PkgConfig::QELCH_BENCH_PCRE2)
  pkg_check_modules(QELCH_BENCH_PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
endif()
if(NOT TARGET PkgConfig::QELCH_BENCH_RE2)
  pkg_check_modules(QELCH_BENCH_RE2 REQUIRED IMPORTED_TARGET re2)
endif()
target_link_libraries(regex_code_bench PRIVATE PkgConfig::QELCH_BENCH_PCRE2 PkgConfig::QELCH_BENCH_RE2)
# Default text: the last of the compiler's own header directories, the
# system one.
set(QELCH_BENCH_SYSTEM_INCLUDE "")
if(CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
  list(GET CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES -1 QELCH_BENCH_SYSTEM_INCLUDE)
endif()
target_compile_definitions(regex_code_bench PRIVATE QELCH_BENCH_SYSTEM_INCLUDE="${QELCH_BENCH_SYSTEM_INCLUDE}")
