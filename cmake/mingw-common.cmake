# What the MinGW-w64 toolchain files share. The including file sets
# CMAKE_SYSTEM_PROCESSOR, QUILLET_MINGW_TRIPLE and QUILLET_WINE_NAMES (the Wine
# loaders that run its programs, in order of preference). Debian's POSIX thread
# model is needed by libstdc++ for std::thread in the tests.
#
# QUILLET_WIN32_PREFIX names the prefix that scripts/build-win32-deps.sh fills
# with the static libcurl, jansson and GoogleTest.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QUILLET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLET_MINGW_TRIPLE}-windres)
set(CMAKE_AR /usr/bin/${QUILLET_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${QUILLET_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP /usr/bin/${QUILLET_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_DLLTOOL /usr/bin/${QUILLET_MINGW_TRIPLE}-dlltool CACHE FILEPATH "")

# Try-compile projects do not see the cache; pass the prefix on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLET_WIN32_PREFIX)
if(NOT QUILLET_WIN32_PREFIX AND DEFINED ENV{QUILLET_WIN32_PREFIX})
  set(QUILLET_WIN32_PREFIX $ENV{QUILLET_WIN32_PREFIX})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLET_MINGW_TRIPLE})
if(QUILLET_WIN32_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${QUILLET_WIN32_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables carry their runtime (libgcc, libstdc++, winpthread) inside, so
# they run under Wine or Windows without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Built programs (test discovery, tests) run through Wine on this host.
# Debian's 64-bit loader may live outside PATH, in /usr/lib/wine.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(QUILLET_WINE NAMES ${QUILLET_WINE_NAMES} PATHS /usr/lib/wine)
  if(QUILLET_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLET_WINE})
  endif()
endif()

# pkg-config must see the cross-built packages only, never the host's.
if(QUILLET_WIN32_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${QUILLET_WIN32_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
