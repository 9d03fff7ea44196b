# --station DIR makes DIR and its ini/ and works there; --station alone does
# the same in the default folder below the user's home, or in $TAVLO_STATION.
# The writer then ends with 1: a new station has no images/boot_fact.bin.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/run ${WORK}/home)
function(run_station expected_dir)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_DATA_HOME --unset=TAVLO_STATION
            HOME=${WORK}/home XDG_RUNTIME_DIR=${WORK}/run ${ARGN}
            ${PROGRAM} --headless ${station_args}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 1 OR NOT err MATCHES "boot_fact.bin")
    message(FATAL_ERROR "${station_args}: status ${rc}, \"${out}\" \"${err}\"")
  endif()
  if(NOT IS_DIRECTORY ${expected_dir}/ini)
    message(FATAL_ERROR "${station_args}: no ${expected_dir}/ini")
  endif()
endfunction()

set(station_args --station ${WORK}/named/line1)
run_station(${WORK}/named/line1)
set(station_args --station)
run_station(${WORK}/home/.local/share/tavlo/station)
run_station(${WORK}/from_env TAVLO_STATION=${WORK}/from_env)

# A folder that cannot be made ends the program before anything else.
file(WRITE ${WORK}/file "")
execute_process(COMMAND ${PROGRAM} --headless --station ${WORK}/file/below
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT err MATCHES "cannot work in the station folder")
  message(FATAL_ERROR "--station under a file: status ${rc}, \"${err}\"")
endif()
