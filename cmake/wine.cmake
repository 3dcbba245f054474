# Running the Windows build's programs here, under Wine.
#
# Every test program of a Windows cross build runs through Wine in a prefix
# of its own under the build folder (never the user's ~/.wine), created on
# first use. CTest starts that prefix's server before the first test (a
# persistent `wineserver -p` with its output in wine-server.log) and stops
# it after the last, so no server started implicitly ever takes a test's
# pseudo-terminal as its controlling terminal.
#
# Sets VOSTREL_WINE_SKIP_REASON when the programs cannot run here (no Wine,
# or a loader this machine cannot execute); the tests are then built, and
# CTest reports one skipped test that says why.
if(NOT (WIN32 AND CMAKE_HOST_UNIX))
  return()
endif()

set(VOSTREL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_vostrel_loader_name wine64)
else()
  set(_vostrel_loader_name wine)
endif()
# The loaders themselves: /usr/bin/wine picks one by the program's header,
# and with the 32-bit Wine installed it takes the 32-bit one.
find_program(VOSTREL_WINE_LOADER ${_vostrel_loader_name} PATHS /usr/lib/wine /usr/lib64/wine /usr/lib/wine64
             NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_program(VOSTREL_WINESERVER wineserver NO_CMAKE_FIND_ROOT_PATH)

set(VOSTREL_WINE_SKIP_REASON "")
if(NOT VOSTREL_WINE_LOADER OR NOT VOSTREL_WINESERVER)
  set(VOSTREL_WINE_SKIP_REASON
      "Wine is not installed (${_vostrel_loader_name} and wineserver; .ci/deps installs them): the Windows test programs were built but not run")
else()
  execute_process(COMMAND ${VOSTREL_WINE_LOADER} --version RESULT_VARIABLE _vostrel_rc
                  OUTPUT_VARIABLE _vostrel_out ERROR_VARIABLE _vostrel_err OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _vostrel_rc EQUAL 0)
    string(STRIP "${_vostrel_err}" _vostrel_err)
    set(VOSTREL_WINE_SKIP_REASON
        "the Wine loader ${VOSTREL_WINE_LOADER} cannot run on this machine (${_vostrel_rc}: ${_vostrel_err}; a kernel without 32-bit program support runs the 32-bit loader only through QEMU: see .ci/i386-emulation): the Windows test programs were built but not run")
  else()
    message(STATUS "Windows programs run under ${_vostrel_out} (${VOSTREL_WINE_LOADER}), prefix ${VOSTREL_WINE_PREFIX}")
  endif()
endif()
if(VOSTREL_WINE_SKIP_REASON)
  message(STATUS "Windows tests: ${VOSTREL_WINE_SKIP_REASON}")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run ${VOSTREL_WINE_LOADER} ${VOSTREL_WINE_PREFIX})
endif()

# The fixture that starts and stops the prefix's server; call once, from
# the tests' folder.
function(vostrel_wine_fixture)
  if(VOSTREL_WINE_SKIP_REASON)
    file(WRITE ${CMAKE_BINARY_DIR}/wine-skipped.txt "Skipped: ${VOSTREL_WINE_SKIP_REASON}\n")
    add_test(NAME windows_tests_not_run COMMAND sh -c "cat \"$1\"; exit 77" sh ${CMAKE_BINARY_DIR}/wine-skipped.txt)
    set_tests_properties(windows_tests_not_run PROPERTIES SKIP_RETURN_CODE 77)
    return()
  endif()
  file(REMOVE ${CMAKE_BINARY_DIR}/wine-skipped.txt)
  set(prefix_script ${PROJECT_SOURCE_DIR}/cmake/wine-prefix)
  add_test(NAME wine_prefix_start
           COMMAND ${prefix_script} start ${VOSTREL_WINE_LOADER} ${VOSTREL_WINE_PREFIX} ${VOSTREL_WINESERVER})
  add_test(NAME wine_prefix_stop
           COMMAND ${prefix_script} stop ${VOSTREL_WINE_LOADER} ${VOSTREL_WINE_PREFIX} ${VOSTREL_WINESERVER})
  set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
  set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()

# Registers test `name` running the Windows program `target` (with `ARGN`)
# under Wine, inside the fixture.
function(vostrel_wine_test name target)
  if(VOSTREL_WINE_SKIP_REASON)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${target} ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()
