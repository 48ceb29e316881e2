# Cross build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686).
set(VTL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
