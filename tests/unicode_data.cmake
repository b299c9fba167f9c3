# The table reproduction test of unicode_data_test reruns the generator on the
# Unicode 5.1 data files. Point QELCH_UNICODE_DATA_DIR at the folder that holds
# them (or set the environment variable QELCH_UNICODE_DATA when running the
# test); a checkout next to a "shared/unicode-5.1" folder finds it by itself.
# Without the data the test is skipped.
set(QELCH_UNICODE_DATA_DIR "" CACHE PATH "Folder with UnicodeData.txt, Scripts.txt and Blocks.txt of Unicode 5.1")
set(_qelch_unicode_data "${QELCH_UNICODE_DATA_DIR}")
if(NOT _qelch_unicode_data AND EXISTS "${PROJECT_SOURCE_DIR}/../shared/unicode-5.1/UnicodeData.txt")
  get_filename_component(_qelch_unicode_data "${PROJECT_SOURCE_DIR}/../shared/unicode-5.1" ABSOLUTE)
endif()
target_compile_definitions(unicode_data_test PRIVATE
  QELCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QELCH_UNICODE_DATA_DIR="${_qelch_unicode_data}")
