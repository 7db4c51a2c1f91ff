# Builds the check for one machine as a static Linux executable against musl, in a build of its
# own under BINARY_DIR, with the build type of the release builds, and copies it to
# COPY_TO/hostname_check-<machine>. TEST_DOUBLES also builds the check with the sockets layer that
# fails on request, for the tests.
#   add_static_linux_build(MACHINE BINARY_DIR dir COPY_TO dir [TEST_DOUBLES])
include(ExternalProject)
function(add_static_linux_build machine)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TEST_DOUBLES" "BINARY_DIR;COPY_TO" "")
  set(testing -DBUILD_TESTING=OFF)
  if(arg_TEST_DOUBLES)
    set(testing -DBUILD_TESTING=ON -DHOSTNAME_CHECK_TEST_DOUBLES_ONLY=ON)
  endif()
  ExternalProject_Add(static_${machine}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${arg_BINARY_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/musl-${machine}.cmake
               -DCMAKE_BUILD_TYPE=MinSizeRel -DHOSTNAME_CHECK_WERROR=${HOSTNAME_CHECK_WERROR}
               ${testing}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/hostname_check
                    ${arg_COPY_TO}/hostname_check-${machine})
endfunction()
