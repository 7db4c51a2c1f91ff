# Cross-compiles for 64-bit Windows (x64) with Debian's mingw-w64 (package g++-mingw-w64-x86-64).
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
