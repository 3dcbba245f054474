# Installs the library as an exported, namespaced package usable by
# find_package(vostrel) and pkg-config.
include(CMakePackageConfigHelpers)

install(TARGETS vostrel EXPORT vostrelTargets
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

configure_file(${PROJECT_SOURCE_DIR}/cmake/vostrel.pc.in ${PROJECT_BINARY_DIR}/vostrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
