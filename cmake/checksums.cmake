# Writes SHA256SUMS, as `sha256sum -c` reads it, for files that lie in one folder:
#   cmake -DFILES=PATH|PATH... -DOUTPUT=PATH -P checksums.cmake
# or, as CPack's post-build script, for the packages it has just made, beside them.
if(CPACK_PACKAGE_FILES)
  # CPack copies the packages from where it made them to CPACK_PACKAGE_DIRECTORY.
  set(files ${CPACK_PACKAGE_FILES})
  set(OUTPUT "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS")
else()
  string(REPLACE "|" ";" files "${FILES}")
endif()
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 "${file}" hash)
  get_filename_component(name "${file}" NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${OUTPUT}" "${sums}")
