# Installs the library as an exported, namespaced package usable by
# find_package(vostrel) and pkg-config.
include(CMakePackageConfigHelpers)

set(vostrel_installed vostrel)
if(TARGET vostrel_asio)
  list(APPEND vostrel_installed vostrel_asio)  # vostrel::asio, for hosts on Asio
endif()
# Components: `dev` (the library for hosts) and `tool`, each a Debian
# package of its own (cmake/debian-packages.cmake).
install(TARGETS ${vostrel_installed} EXPORT vostrelTargets COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vostrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT vostrelTargets NAMESPACE vostrel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel
        COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vostrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vostrelConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vostrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vostrelConfig.cmake ${PROJECT_BINARY_DIR}/vostrelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel COMPONENT dev)

# The .pc file finds its prefix from where it lies, so the package works
# wherever it is installed (cmake --install --prefix included).
file(RELATIVE_PATH VOSTREL_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vostrel.pc.in ${PROJECT_BINARY_DIR}/vostrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(TARGET vostrel_tool)
  install(TARGETS vostrel_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()

# Packages: the Windows Installer package of the control in the Windows
# builds, the Debian packages elsewhere (cpack -G DEB).
if(TARGET vostrel_activex AND TARGET vostrel_tool AND CMAKE_HOST_UNIX)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-installer.cmake)
elseif(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/debian-packages.cmake)
endif()
