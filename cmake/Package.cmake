# Debian packages of the Linux build (scripts/package.sh): one per install
# component (cmake/Install.cmake), each with its debug symbols in a -dbgsym
# package found by build-id. package.sh makes the tarball of everything.
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR quillet)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libquillet1 libquillet-dev quillet)

set(QUILLET_PACKAGE_MAINTAINER "quillet developers <quillet@quillet.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLET_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE quillet)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host's dependency on libquillet.so.1 comes from the component order below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# The shlibs file of libquillet1; a package linked against version X of it
# needs at least X.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIBQUILLET1_PACKAGE_NAME libquillet1)
set(CPACK_DEBIAN_LIBQUILLET1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBQUILLET-DEV_PACKAGE_NAME libquillet-dev)
set(CPACK_DEBIAN_LIBQUILLET-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBQUILLET-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_QUILLET_PACKAGE_NAME quillet)
set(CPACK_DEBIAN_QUILLET_PACKAGE_SECTION net)

# The first line is the synopsis (CPack uses it as such while
# CPACK_PACKAGE_DESCRIPTION_SUMMARY is left unset), the rest the extended
# description.
set(QUILLET_PACKAGE_ABOUT "HTTP requests and file downloads on worker threads, JSON documents,
ULIDs and a log record queue behind seventeen C functions.
")
set(CPACK_DEBIAN_LIBQUILLET1_DESCRIPTION "network and utility core library - shared library
${QUILLET_PACKAGE_ABOUT}
This package holds the shared library.")
set(CPACK_DEBIAN_LIBQUILLET-DEV_DESCRIPTION "network and utility core library - development files
${QUILLET_PACKAGE_ABOUT}
This package holds the headers, the CMake and pkg-config package files
and a Python ctypes example.")
set(CPACK_DEBIAN_QUILLET_DESCRIPTION "network and utility core library - command-line host
${QUILLET_PACKAGE_ABOUT}
This package holds the quillet program, which runs the library's requests
from the command line.")

# Every Debian package carries its copyright and changelog in
# /usr/share/doc/<package>. The changelog's date is SOURCE_DATE_EPOCH's when
# that is set (string(TIMESTAMP) reads it), so two builds agree.
string(TIMESTAMP QUILLET_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
# A native package (no Debian revision): the changelog is changelog.gz.
configure_file(cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog
  RESULT_VARIABLE QUILLET_GZIP_RESULT)
if(NOT QUILLET_GZIP_RESULT EQUAL 0)
  message(FATAL_ERROR "gzip of the Debian changelog failed")
endif()
file(READ LICENSE QUILLET_LICENSE_TEXT)
set(QUILLET_COPYRIGHT_EXTRA "")
configure_file(cmake/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
# The host contains code from the header-only parts of CLI11 and cpp-httplib.
foreach(file /usr/share/doc/libcli11-dev/copyright /usr/share/doc/libcpp-httplib-dev/copyright)
  if(EXISTS ${file})
    file(READ ${file} text)
    get_filename_component(dir ${file} DIRECTORY)
    get_filename_component(name ${dir} NAME)
    string(APPEND QUILLET_COPYRIGHT_EXTRA
      "\n\nThe quillet program contains code from the headers of ${name}; its Debian copyright file:\n\n${text}")
  endif()
endforeach()
configure_file(cmake/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright-host @ONLY)
if(NOT WIN32)
  foreach(component libquillet1 libquillet-dev quillet)
    set(copyright ${PROJECT_BINARY_DIR}/debian/copyright)
    if(component STREQUAL quillet)
      set(copyright ${PROJECT_BINARY_DIR}/debian/copyright-host)
    endif()
    install(FILES ${copyright} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${component}
      RENAME copyright COMPONENT ${component})
    install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${component} COMPONENT ${component})
  endforeach()
endif()

include(CPack)
cpack_add_component(libquillet1)
cpack_add_component(libquillet-dev DEPENDS libquillet1)
cpack_add_component(quillet DEPENDS libquillet1)
