# The matcher is internal: its benchmark links the static library and reuses
# the tests' hand-built-state fixture; PCRE2 is the peer.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PCRE2_MATCH_BENCH REQUIRED IMPORTED_TARGET libpcre2-8)
find_package(GTest REQUIRED)
target_include_directories(regex_match_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_sources(regex_match_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/guard.cpp)
target_link_libraries(regex_match_bench PRIVATE qelch_static PkgConfig::PCRE2_MATCH_BENCH)
