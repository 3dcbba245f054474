# Configures the project in WORK with pkg-config hidden, as on a machine
# without libmosquitto: the configuration must succeed, say the bridge is
# left out, and build the tool with the stand-in that says why
# (bridge_unavailable_test runs that stand-in).
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK} -G ${GENERATOR}
                        -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON
                        -DVOSTREL_BUILD_BENCH=OFF -DVOSTREL_BUILD_PYTHON=OFF -DVOSTREL_BUILD_TESTS=OFF
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring without libmosquitto failed:\n${out}")
endif()
if(NOT out MATCHES "vostrel bridge: left out \\(libmosquitto not found")
  message(FATAL_ERROR "the configuration should say the bridge is left out:\n${out}")
endif()
file(GLOB_RECURSE rules ${WORK}/build.ninja ${WORK}/Makefile ${WORK}/tool/CMakeFiles/vostrel_toollib.dir/build.make)
set(found_standin FALSE)
foreach(f ${rules})
  file(READ ${f} text)
  if(text MATCHES "bridge_unavailable\\.cpp")
    set(found_standin TRUE)
  endif()
  if(text MATCHES "mqtt_client\\.cpp")
    message(FATAL_ERROR "without libmosquitto the MQTT client is still built (${f})")
  endif()
endforeach()
if(NOT found_standin)
  message(FATAL_ERROR "without libmosquitto the tool does not build the stand-in")
endif()
file(REMOVE_RECURSE ${WORK})
