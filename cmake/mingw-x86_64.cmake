# Cross build for x86_64 Windows with Debian's MinGW-w64 (see mingw-common.cmake).
# The 32-bit wine command may not run here at all; the 64-bit loader is named.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QUILLET_MINGW_TRIPLE x86_64-w64-mingw32)
set(QUILLET_WINE_NAMES wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
