# Installs the python component into PREFIX as the README says (with
# --prefix ~/.local there), then imports it as that interpreter's user
# site-packages, from a directory without a package of the same name.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component python --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
file(MAKE_DIRECTORY ${PREFIX}/cwd)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=PYTHONPATH PYTHONUSERBASE=${PREFIX}
                        ${PYTHON} -c "import vostrel, vostrel.sim, vostrel.aio; print(vostrel.__file__)"
                WORKING_DIRECTORY ${PREFIX}/cwd
                RESULT_VARIABLE rc OUTPUT_VARIABLE where ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "import failed: ${err}")
endif()
string(FIND "${where}" "${PREFIX}/lib/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "imported from elsewhere: ${where}")
endif()
foreach(f py.typed __init__.pyi sim.pyi aio.pyi _vostrel.pyi)
  file(GLOB found ${PREFIX}/lib/python*/site-packages/vostrel/${f})
  if(NOT found)
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
