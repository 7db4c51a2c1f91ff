# Builds the check for Windows on one processor (i686 or x86_64), in a build of its own under
# BINARY_DIR, with the build type of the release builds: target windows_<machine>, executable
# BINARY_DIR/hostname_check.exe.
#   add_windows_build(MACHINE BINARY_DIR dir)
include(ExternalProject)
function(add_windows_build machine)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "BINARY_DIR" "")
  ExternalProject_Add(windows_${machine}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${arg_BINARY_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-${machine}.cmake
               -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
               -DHOSTNAME_CHECK_WERROR=${HOSTNAME_CHECK_WERROR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
endfunction()
