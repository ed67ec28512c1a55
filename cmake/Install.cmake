include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS quillet EXPORT quilletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/quillet/quillet.h ${QUILLET_GENERATED_INCLUDE_DIR}/quillet/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillet)
if(TARGET quillet_cli)
  install(TARGETS quillet_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(QUILLET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillet)
install(EXPORT quilletTargets NAMESPACE quillet:: DESTINATION ${QUILLET_CMAKE_DIR})
configure_package_config_file(cmake/quilletConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quilletConfig.cmake INSTALL_DESTINATION ${QUILLET_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quilletConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quilletConfig.cmake ${PROJECT_BINARY_DIR}/quilletConfigVersion.cmake
  DESTINATION ${QUILLET_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so any --prefix works.
file(RELATIVE_PATH QUILLET_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/quillet.pc.in ${PROJECT_BINARY_DIR}/quillet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
