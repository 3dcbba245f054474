# Installs the library as an exported, namespaced package usable by
# find_package(vostrel) and pkg-config.
include(CMakePackageConfigHelpers)

set(vostrel_installed vostrel)
if(TARGET vostrel_asio)
  list(APPEND vostrel_installed vostrel_asio)  # vostrel::asio, for hosts on Asio
endif()
install(TARGETS ${vostrel_installed} EXPORT vostrelTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vostrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vostrelTargets NAMESPACE vostrel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vostrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vostrelConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vostrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vostrelConfig.cmake ${PROJECT_BINARY_DIR}/vostrelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel)

# The .pc file finds its prefix from where it lies, so the package works
# wherever it is installed (cmake --install --prefix included).
file(RELATIVE_PATH VOSTREL_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vostrel.pc.in ${PROJECT_BINARY_DIR}/vostrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET vostrel_tool)
  install(TARGETS vostrel_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
