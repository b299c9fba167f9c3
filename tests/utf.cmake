# ICU serves the UTF tests as an outside oracle for well-formed text.
find_package(ICU COMPONENTS uc)
if(ICU_FOUND)
  target_link_libraries(utf_test PRIVATE ICU::uc)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QELCH_ICU_UC REQUIRED IMPORTED_TARGET icu-uc)
  target_link_libraries(utf_test PRIVATE PkgConfig::QELCH_ICU_UC)
endif()
