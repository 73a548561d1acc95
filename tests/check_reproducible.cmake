# Builds the library twice, from two copies of the sources in two scratch
# folders of different names and lengths, and compares the two files byte for
# byte: nothing of where the sources or the build lay, and no time, may end
# up in what ships. TOOLCHAIN, when given, is the cross build's toolchain file.
#
#   cmake -DSOURCE=... -DWORK=... -DARTIFACT=bin/Vellomar.dll [-DTOOLCHAIN=...] -P check_reproducible.cmake
set(copies "${WORK}/first" "${WORK}/second-in-a-longer-folder")
file(REMOVE_RECURSE ${WORK})
set(options -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_BUILD_TESTS=OFF -DVELLOMAR_BUILD_TOOLS=OFF
            -DVELLOMAR_BUILD_BENCH=OFF)
if(TOOLCHAIN)
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
foreach(copy IN LISTS copies)
  foreach(part CMakeLists.txt cmake include library report text)
    file(COPY ${SOURCE}/${part} DESTINATION ${copy}/source)
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${copy}/source -B ${copy}/build ${options}
                  OUTPUT_QUIET ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "configuring ${copy} failed:\n${err}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${copy}/build --target vellomar
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "building ${copy} failed:\n${out}${err}")
  endif()
endforeach()
list(GET copies 0 first)
list(GET copies 1 second)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${first}/build/${ARTIFACT}
                        ${second}/build/${ARTIFACT} RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "two builds of the same sources differ: ${first}/build/${ARTIFACT} and "
                      "${second}/build/${ARTIFACT} are left for a look")
endif()
file(SHA256 ${first}/build/${ARTIFACT} hash)
message(STATUS "${ARTIFACT}: both builds ${hash}")
file(REMOVE_RECURSE ${WORK})
