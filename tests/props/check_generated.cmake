# Reruns the property catalogue generator into a scratch folder and fails unless every file it
# writes is byte for byte the committed one.
#   cmake -DPYTHON=… -DSOURCE_DIR=… -DDATA_DIR=… -DWORK_DIR=… -P check_generated.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(
  COMMAND "${PYTHON}" "${SOURCE_DIR}/scripts/gen_props.py" --data "${DATA_DIR}" --out "${WORK_DIR}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gen_props.py failed (${rc})")
endif()
file(GLOB generated RELATIVE "${WORK_DIR}" "${WORK_DIR}/*")
list(LENGTH generated count)
if(count LESS 4)
  message(FATAL_ERROR "gen_props.py wrote ${count} files, expected 4")
endif()
foreach(name ${generated})
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK_DIR}/${name}"
            "${SOURCE_DIR}/ews/generated/${name}"
    RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "ews/generated/${name} differs from the generator's output; rerun scripts/gen_props.py")
  endif()
endforeach()
message(STATUS "${count} generated files match")
