# A target that builds the Ansible collection (collection.cmake) into OUTPUT from the executables
# given as RELATIVE|PATH (RELATIVE as the build lays them out: fleet/..., windows-<machine>/...),
# once the targets in DEPENDS are built. Its files take the time HOSTNAME_CHECK_EPOCH.
#   add_collection(TARGET OUTPUT dir EXECUTABLES entry... DEPENDS target...)
function(add_collection target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT" "EXECUTABLES;DEPENDS")
  find_program(ANSIBLE_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  string(REPLACE ";" "," executables "${arg_EXECUTABLES}")
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DSTAGE=${arg_OUTPUT}/stage
            -DOUTPUT=${arg_OUTPUT} -DVERSION=${PROJECT_VERSION} -DEPOCH=${HOSTNAME_CHECK_EPOCH}
            -DPYTHON=${ANSIBLE_PYTHON} "-DEXECUTABLES=${executables}"
            -P ${PROJECT_SOURCE_DIR}/cmake/collection.cmake
    COMMENT "Building the Ansible collection hostname_check.fleet"
    VERBATIM)
  add_dependencies(${target} ${arg_DEPENDS})
endfunction()
