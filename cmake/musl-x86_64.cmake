# A static x86-64 Linux executable against musl (see musl.cmake).
set(MUSL_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
