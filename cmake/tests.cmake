# Whether to build the test suite: VELLOMAR_TESTS, from VELLOMAR_BUILD_TESTS.
# AUTO builds it where Vellomar is the top-level project and what the Linux
# suite needs is there (GoogleTest, Python 3); where either is missing the
# library, the tools and the example still build, and one message says why
# the suite is off. ON makes them required; OFF skips the suite. The Windows
# suite needs neither: it runs under Wine, or says it cannot. A cross build
# for another Linux processor names GoogleTest's sources instead, which it
# compiles with its own compiler.
# VELLOMAR_REQUIRE_HOSTS: every host toolchain and runner that a test needs
# must be there, or the configure stops and names it; the test command
# (tools/check.sh) sets it through the environment, for every preset. Off,
# such a test reports itself skipped.
option(VELLOMAR_REQUIRE_HOSTS "Fail the configure where a test's toolchain is missing" OFF)
set(VELLOMAR_GTEST_SOURCE "" CACHE PATH
    "GoogleTest sources to build with the tests instead of an installed GoogleTest")
set(VELLOMAR_TESTS OFF)
if(VELLOMAR_BUILD_TESTS STREQUAL "AUTO")
  if(PROJECT_IS_TOP_LEVEL AND WIN32)
    set(VELLOMAR_TESTS ON)
  elseif(PROJECT_IS_TOP_LEVEL)
    find_package(GTest QUIET)
    find_package(Python3 QUIET COMPONENTS Interpreter)
    set(missing "")
    if(NOT GTest_FOUND AND NOT EXISTS "${VELLOMAR_GTEST_SOURCE}/CMakeLists.txt")
      list(APPEND missing "GoogleTest (libgtest-dev)")
    endif()
    if(NOT Python3_FOUND)
      list(APPEND missing "Python 3 (python3)")
    endif()
    if(missing)
      list(JOIN missing " and " missing)
      message(STATUS "Vellomar: the test suite is off: ${missing} not found "
                     "(-DVELLOMAR_BUILD_TESTS=ON requires them)")
    else()
      set(VELLOMAR_TESTS ON)
    endif()
  endif()
elseif(VELLOMAR_BUILD_TESTS)
  set(VELLOMAR_TESTS ON)
endif()

# The tests labelled slow (packages, Wine, emulated processors), which
# `ctest -LE slow` leaves out for a quick loop: their names go into the
# build's CTestCustom.cmake, and ctest prints them after every run, so that a
# quick run says what it did not run.
function(vellomar_list_slow_tests)
  get_property(tests DIRECTORY PROPERTY TESTS)
  set(slow "")
  foreach(test IN LISTS tests)
    get_test_property(${test} LABELS labels)
    if("slow" IN_LIST labels)
      list(APPEND slow ${test})
    endif()
  endforeach()
  list(JOIN slow ", " slow)
  if(NOT slow)
    set(slow "none in this build")
  endif()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/CTestCustom.cmake CONTENT
       "set(CTEST_CUSTOM_POST_TEST [[\"${CMAKE_COMMAND}\" -E echo \"Tests labelled slow (ctest -LE slow leaves them out): ${slow}\"]])\n")
endfunction()
