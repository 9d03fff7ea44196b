# <program> --version prints "<name> <version>" and nothing else, exit 0.
execute_process(COMMAND ${PROGRAM} --version RESULT_VARIABLE rc OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "${NAME} ${VERSION}\n")
  message(FATAL_ERROR "${NAME} --version: status ${rc}, printed \"${out}\" \"${err}\"")
endif()
