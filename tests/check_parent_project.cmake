# Configures and builds tests/parent, which adds Vellomar with
# add_subdirectory, then runs its host on the record example: the eight
# entries, the second a marker line.
#
#   cmake -DSOURCE=... -DWORK=... -DC_COMPILER=... -DCXX_COMPILER=...
#         [-DTOOLCHAIN=... -DRUN=...] -P check_parent_project.cmake
#
# A cross build passes its toolchain file, and RUN, the emulator its
# programs run under.
file(REMOVE_RECURSE ${WORK})
if(TOOLCHAIN)
  set(compilers -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
else()
  set(compilers -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/tests/parent -B ${WORK}
                        -DVELLOMAR_SOURCE=${SOURCE} -DCMAKE_BUILD_TYPE=Release ${compilers}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring the parent project failed:\n${out}${err}")
endif()
if(EXISTS ${WORK}/vellomar/tests OR EXISTS ${WORK}/vellomar/CPackConfig.cmake)
  message(FATAL_ERROR "Vellomar as a subfolder configured its tests or its packages")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK} --target walk
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building the parent project failed:\n${out}${err}")
endif()
execute_process(COMMAND ${RUN} ${WORK}/walk --record ${SOURCE}/examples/record.txt
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
string(REGEX MATCHALL "[^\n]+" rows "${out}")
list(LENGTH rows count)
set(second "")
if(count GREATER 1)
  list(GET rows 1 second)
endif()
if(NOT status EQUAL 0 OR NOT count EQUAL 8 OR NOT second MATCHES "^2 [0-9]+ [0-9]+ @=")
  message(FATAL_ERROR "the parent's host: status ${status}, ${count} rows: '${out}' '${err}'")
endif()
file(REMOVE_RECURSE ${WORK})
