# Each folder of src/ is a layer, built as a library of its own, and may
# include only the layers it names in DEPENDS. Sources write
# #include "<layer>/<file>.h", so an include root of src/ would open every
# layer to every other one. Instead each layer gets a root of its own in the
# build tree, layers/<layer>/, holding nothing but the link
# layers/<layer>/<layer> -> src/<layer>. A layer's root is a usage requirement
# of its target, and layers link each other PRIVATE, so a layer sees its own
# headers and those of the layers it links directly, nothing else: an include
# of any other layer fails to compile ("No such file or directory").
#
#   quillet_layer(<name> [OBJECT] SOURCES <file>... [DEPENDS <layer>...]
#                 [LIBRARIES <target>...])
#
# SOURCES are relative to src/<name>/. The target is quillet_<name>, a static
# library, or an object library with OBJECT.
function(quillet_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "OBJECT" "" "SOURCES;DEPENDS;LIBRARIES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR "quillet_layer(${name}): bad arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()

  set(root ${PROJECT_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)

  set(target quillet_${name})
  list(TRANSFORM arg_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/src/${name}/)
  if(arg_OBJECT)
    add_library(${target} OBJECT ${arg_SOURCES})
  else()
    add_library(${target} STATIC ${arg_SOURCES})
  endif()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  list(TRANSFORM arg_DEPENDS PREPEND quillet_)
  target_link_libraries(${target} PRIVATE ${arg_DEPENDS} ${arg_LIBRARIES})
  # Everything is hidden except what the api layer marks for export; the
  # objects end up in the shared library, hence position-independent.
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON
    QUILLET_LAYER ON)
  quillet_warnings(${target})
endfunction()
