# Configures the project in WORK twice: with pybind11 hidden, the test
# named python must fail and say why; with the module turned off on
# purpose, there must be no such test.
function(configure dir)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${dir} -G ${GENERATOR}
                          -DCMAKE_CXX_COMPILER=${CXX} -DVOSTREL_BUILD_BENCH=OFF ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring ${ARGN} failed:\n${out}")
  endif()
endfunction()

configure(${WORK}/missing -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON)
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} -R ^python$ --output-on-failure
                WORKING_DIRECTORY ${WORK}/missing RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "python .*Failed" OR NOT out MATCHES "pybind11-dev")
  message(FATAL_ERROR "without pybind11 the python test should fail and name it:\n${out}")
endif()

configure(${WORK}/off -DVOSTREL_BUILD_PYTHON=OFF)
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} -N -R python
                WORKING_DIRECTORY ${WORK}/off OUTPUT_VARIABLE out)
if(NOT out MATCHES "Total Tests: 0")
  message(FATAL_ERROR "with VOSTREL_BUILD_PYTHON=OFF there should be no python test:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK})
