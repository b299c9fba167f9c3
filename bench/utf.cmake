# ICU is the peer of the UTF conversion benchmark (iconv comes with the C library).
find_package(ICU COMPONENTS uc)
if(ICU_FOUND)
  target_link_libraries(utf_bench PRIVATE ICU::uc)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QELCH_ICU_UC REQUIRED IMPORTED_TARGET icu-uc)
  target_link_libraries(utf_bench PRIVATE PkgConfig::QELCH_ICU_UC)
endif()
