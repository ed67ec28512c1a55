include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Install components, which are also the Debian packages (cmake/Package.cmake):
#   libquillet1     the shared library (the DLL on Windows)
#   libquillet-dev  headers, the .so link or import library, the CMake and
#                   pkg-config package files, examples/python and csharp
#   quillet         the command-line host
install(TARGETS quillet EXPORT quilletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libquillet1 NAMELINK_COMPONENT libquillet-dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libquillet-dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libquillet1)
install(FILES include/quillet/quillet.h ${QUILLET_GENERATED_INCLUDE_DIR}/quillet/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillet COMPONENT libquillet-dev)
if(TARGET quillet_cli)
  install(TARGETS quillet_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quillet)
endif()

set(QUILLET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillet)
install(EXPORT quilletTargets NAMESPACE quillet:: DESTINATION ${QUILLET_CMAKE_DIR}
  COMPONENT libquillet-dev)
configure_package_config_file(cmake/quilletConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quilletConfig.cmake INSTALL_DESTINATION ${QUILLET_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quilletConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quilletConfig.cmake ${PROJECT_BINARY_DIR}/quilletConfigVersion.cmake
  DESTINATION ${QUILLET_CMAKE_DIR} COMPONENT libquillet-dev)

# The .pc file finds its prefix from its own place, so any --prefix works.
file(RELATIVE_PATH QUILLET_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/quillet.pc.in ${PROJECT_BINARY_DIR}/quillet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libquillet-dev)

# The ctypes and C# examples, where Debian keeps a package's examples; the
# Windows zips carry the C# one in examples/csharp.
set(QUILLET_CSHARP_EXAMPLE examples/csharp/Quillet.cs examples/csharp/Download.cs)
if(NOT WIN32)
  install(FILES examples/python/quillet.py examples/python/download.py examples/python/job.py
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libquillet-dev/examples/python COMPONENT libquillet-dev)
  install(FILES ${QUILLET_CSHARP_EXAMPLE}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libquillet-dev/examples/csharp COMPONENT libquillet-dev)
else()
  install(FILES ${QUILLET_CSHARP_EXAMPLE} DESTINATION examples/csharp COMPONENT libquillet-dev)
endif()
