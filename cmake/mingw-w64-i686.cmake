# Cross-compiles for 32-bit Windows (x86) with Debian's mingw-w64 (package g++-mingw-w64-i686).
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
