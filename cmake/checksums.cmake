# Writes a SHA-256 checksum list, as `sha256sum -c` reads it, for files that lie in one folder:
#   cmake -DFILES=PATH|PATH... -DOUTPUT=PATH [-DCRLF=ON] -P checksums.cmake
# (CRLF: lines end in CR LF, as every text file for Windows does; `sha256sum -c` reads them too),
# or, as CPack's post-build script, one beside each package it has just made, named after it
# (hostname-check-1.0.0-win32.SHA256SUMS): the package, then each file that CPACK_HOSTNAME_CHECK_-
# UNPACKED names (NAME|PATH...) as the package unpacks it, in the folder named after the package.
set(line_end "\n")
if(CRLF)
  set(line_end "\r\n")
endif()
function(sha256_line path name out)
  file(SHA256 "${path}" hash)
  set(${out} "${${out}}${hash}  ${name}${line_end}" PARENT_SCOPE)
endfunction()

if(CPACK_PACKAGE_FILES)
  # CPack copies the packages from where it made them to CPACK_PACKAGE_DIRECTORY.
  foreach(package IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name "${package}" NAME)
    get_filename_component(base "${package}" NAME_WLE)
    set(sums "")
    sha256_line("${package}" "${name}" sums)
    foreach(entry IN LISTS CPACK_HOSTNAME_CHECK_UNPACKED)
      string(REPLACE "|" ";" entry "${entry}")
      list(GET entry 0 inner)
      list(GET entry 1 path)
      sha256_line("${path}" "${base}/${inner}" sums)
    endforeach()
    file(WRITE "${CPACK_PACKAGE_DIRECTORY}/${base}.SHA256SUMS" "${sums}")
  endforeach()
else()
  string(REPLACE "|" ";" files "${FILES}")
  set(sums "")
  foreach(file IN LISTS files)
    get_filename_component(name "${file}" NAME)
    sha256_line("${file}" "${name}" sums)
  endforeach()
  file(WRITE "${OUTPUT}" "${sums}")
endif()
