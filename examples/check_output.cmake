# Runs PROGRAM and compares its standard output with the file EXPECTED (an
# empty file: only a zero exit status is checked).
execute_process(COMMAND ${PROGRAM} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${rc}")
endif()
file(READ ${EXPECTED} want)
if(NOT want STREQUAL "" AND NOT out STREQUAL want)
  message(FATAL_ERROR "${PROGRAM} printed:\n${out}\ninstead of:\n${want}")
endif()
