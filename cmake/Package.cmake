# Release packages of the Linux build (scripts/package.sh): a Debian package
# whose dependencies dpkg-shlibdeps reads from the binaries, and a tarball.
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR quillet)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${QUILLET_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "HTTP requests and file downloads on worker threads, JSON documents,
ULIDs and a log record queue behind fourteen C functions; with the headers,
the pkg-config and CMake package files, and the quillet command-line host.")
set(CPACK_GENERATOR "DEB;TGZ")
string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" QUILLET_PACKAGE_SYSTEM)
set(CPACK_PACKAGE_FILE_NAME "quillet-${PROJECT_VERSION}-${QUILLET_PACKAGE_SYSTEM}")

set(QUILLET_PACKAGE_MAINTAINER "quillet developers <quillet@localhost>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLET_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
