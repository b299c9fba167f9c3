# The differential test calls PCRE2 as a black-box oracle; only the test links it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QELCH_PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
target_link_libraries(regex_pcre_test PRIVATE PkgConfig::QELCH_PCRE2)
