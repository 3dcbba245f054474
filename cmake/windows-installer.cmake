# The Windows Installer package of the control for this build's
# architecture: build/<preset>/VostrelControl-<arch>.msi, made by wixl from
# a description generated from the control's registry rows
# (activex/registry_layout.cpp), so the installed control is registered
# exactly as regsvr32 registers it. Target vostrel_msi; .ci/package-windows
# makes both.
find_program(VOSTREL_WIXL wixl NO_CMAKE_FIND_ROOT_PATH)
if(NOT VOSTREL_WIXL)
  message(STATUS "Windows Installer package: not made (needs wixl: .ci/deps-windows installs it)")
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VOSTREL_MSI_ARCH x64)
else()
  set(VOSTREL_MSI_ARCH x86)
endif()

set(_dir ${PROJECT_BINARY_DIR}/installer)
set(VOSTREL_WXS_TOOL ${_dir}/vostrel_wxs_tool)
set(_sources ${PROJECT_SOURCE_DIR}/activex/registry_layout.cpp
             ${PROJECT_SOURCE_DIR}/activex/installer/wxs_writer.cpp
             ${PROJECT_SOURCE_DIR}/activex/installer/wxs_tool.cpp)
add_custom_command(
  OUTPUT ${VOSTREL_WXS_TOOL}
  COMMAND ${VOSTREL_HOST_CXX} -std=c++20 -O1 -Wall -Wextra -Werror -I${PROJECT_SOURCE_DIR}/include
          -I${PROJECT_SOURCE_DIR} ${_sources} -o ${VOSTREL_WXS_TOOL}
  DEPENDS ${_sources} ${PROJECT_SOURCE_DIR}/activex/registry_layout.hpp
          ${PROJECT_SOURCE_DIR}/activex/installer/wxs_writer.hpp
          ${PROJECT_SOURCE_DIR}/include/vostrel/type_library.hpp
  COMMENT "Building the installer description tool for the build machine" VERBATIM)

# What the package holds, gathered in one folder with its description
# (wixl takes files only from the description's folder).
set(VOSTREL_MSI_FILES ${_dir}/files)
set(_msi ${PROJECT_BINARY_DIR}/VostrelControl-${VOSTREL_MSI_ARCH}.msi)
add_custom_command(
  OUTPUT ${_msi}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VOSTREL_MSI_FILES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VOSTREL_MSI_FILES}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vostrel_activex> ${VOSTREL_ACTIVEX_TLB}
          $<TARGET_FILE:vostrel_tool> ${PROJECT_SOURCE_DIR}/activex/installer/README.txt ${VOSTREL_MSI_FILES}
  COMMAND ${VOSTREL_WXS_TOOL} ${VOSTREL_MSI_ARCH} ${PROJECT_VERSION} ${VOSTREL_MSI_FILES}/VostrelControl.wxs
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/wixl-strict ${VOSTREL_WIXL} -a ${VOSTREL_MSI_ARCH}
          -o ${_msi} ${VOSTREL_MSI_FILES}/VostrelControl.wxs
  DEPENDS ${VOSTREL_WXS_TOOL} vostrel_activex vostrel_tool ${VOSTREL_ACTIVEX_TLB}
          ${PROJECT_SOURCE_DIR}/activex/installer/README.txt ${PROJECT_SOURCE_DIR}/cmake/wixl-strict
  COMMENT "Making VostrelControl-${VOSTREL_MSI_ARCH}.msi" VERBATIM)
add_custom_target(vostrel_msi ALL DEPENDS ${_msi})
set(VOSTREL_MSI ${_msi})

# Installing, using and removing the package under Wine, in a prefix made
# afresh for it (tests/installer/msi_install.sh).
if(NOT VOSTREL_BUILD_TESTS OR NOT TARGET activex_container_test)
  return()
endif()
if(VOSTREL_WINE_SKIP_REASON)
  return()  # the Windows tests' own skipped test says why
endif()
# Windows Installer runs in a 64-bit prefix for both packages, as on 64-bit
# Windows; the 32-bit package's programs run there through the 32-bit loader.
find_program(VOSTREL_WINE64_LOADER wine64 PATHS /usr/lib/wine /usr/lib64/wine /usr/lib/wine64
             NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
# The 64-bit build's test also installs the 32-bit build's package beside
# its own (CI builds the 32-bit one first).
set(VOSTREL_WIN32_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH
    "The 32-bit Windows build, whose module the 64-bit tests read too")
set(_other_msi "")
if(VOSTREL_MSI_ARCH STREQUAL x64)
  set(_other_msi ${VOSTREL_WIN32_BUILD_DIR}/VostrelControl-x86.msi)
endif()
add_test(NAME msi_install_test
         COMMAND sh ${PROJECT_SOURCE_DIR}/tests/installer/msi_install.sh ${VOSTREL_MSI_ARCH} ${_msi}
                 ${VOSTREL_WXS_TOOL} ${VOSTREL_WIXL} ${VOSTREL_MSI_FILES} ${PROJECT_BINARY_DIR}/msi-prefix
                 ${VOSTREL_WINE64_LOADER} ${VOSTREL_WINE_LOADER} ${VOSTREL_WINESERVER}
                 ${VOSTREL_NATIVE_BUILD_DIR}/vostrel $<TARGET_FILE:activex_container_test>
                 $<TARGET_FILE:activex_brick_session_test> ${_other_msi})
set_tests_properties(msi_install_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
