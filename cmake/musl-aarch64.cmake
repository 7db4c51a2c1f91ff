# A static aarch64 Linux executable against musl (see musl.cmake).
set(MUSL_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
