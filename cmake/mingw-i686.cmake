# Cross build for 32-bit Windows with Debian's MinGW-w64 (see mingw-common.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILLET_MINGW_TRIPLE i686-w64-mingw32)
set(QUILLET_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
