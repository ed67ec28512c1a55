# The version in project() is the only one: it names the shared library
# (VERSION/SOVERSION), the .pc and CMake package versions, the generated
# quillet/version.h and the DLL's version resource.
set(QUILLET_DESCRIPTION "Network and utility core for the launcher's installer")

# Generated into the build tree; every target here gets it on its include
# path, and it is installed beside quillet.h.
set(QUILLET_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in
  ${QUILLET_GENERATED_INCLUDE_DIR}/quillet/version.h @ONLY)
include_directories(${QUILLET_GENERATED_INCLUDE_DIR})

if(WIN32)
  # Windows and its installers compare this resource before replacing the DLL.
  enable_language(RC)
  set(QUILLET_VERSION_RC ${PROJECT_BINARY_DIR}/quillet.rc)
  configure_file(${PROJECT_SOURCE_DIR}/src/api/quillet.rc.in ${QUILLET_VERSION_RC} @ONLY)
endif()
