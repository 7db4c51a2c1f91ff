# Cross-compiles static Linux executables against musl instead of the host's C library, with
# Debian's musl-dev: they then run on any Linux of their machine, whatever its C library. The
# machine is MUSL_ARCH, as `uname -m` names it (x86_64 with g++, aarch64 with
# g++-aarch64-linux-gnu and musl-dev:arm64); musl-x86_64.cmake and musl-aarch64.cmake set it.
# Only C headers reach the compiler: musl's, by its specs file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MUSL_ARCH})
set(CMAKE_CXX_COMPILER ${MUSL_ARCH}-linux-gnu-g++)
set(musl_specs /usr/lib/${MUSL_ARCH}-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "${musl_specs} not found: install musl-dev for this machine")
endif()
set(CMAKE_CXX_FLAGS_INIT "-specs ${musl_specs} -ffunction-sections -fdata-sections")
# The compiler flags, specs file included, are on the link line too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s -Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH /usr/lib/${MUSL_ARCH}-linux-musl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
