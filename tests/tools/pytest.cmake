# The tools' tests, test_tools.py, run under pytest from a Python that has
# it: Debian's /usr/bin/python3 with python3-pytest, which a python3 that
# comes first on PATH (pyenv's, say) may lack. VELLOMAR_PYTEST is the command
# that runs them, to which the caller adds the tools' options (conftest.py);
# empty where no Python has pytest, which VELLOMAR_REQUIRE_HOSTS makes a
# configure error. -B and no cache provider: nothing is written into the
# source tree.
set(VELLOMAR_PYTEST "")
foreach(python /usr/bin/python3 ${Python3_EXECUTABLE})
  execute_process(COMMAND ${python} -c "import pytest" RESULT_VARIABLE noPytest
                  OUTPUT_QUIET ERROR_QUIET)
  if(noPytest EQUAL 0)
    set(VELLOMAR_PYTEST ${python} -B -m pytest -p no:cacheprovider -rs
        ${CMAKE_CURRENT_LIST_DIR}/test_tools.py)
    break()
  endif()
endforeach()
if(NOT VELLOMAR_PYTEST)
  set(why "no python3 with pytest (Debian: python3-pytest) for the tools' tests")
  if(VELLOMAR_REQUIRE_HOSTS)
    message(FATAL_ERROR "${why}")
  endif()
  message(STATUS "Vellomar: ${why}: they are left out")
endif()
