# The RPM packages for RHEL, Fedora and SUSE: one for each machine, hostname-check-<version>-1.
# <machine>.rpm, each with the static executable for it (it needs no C library, so one package
# runs on every release), the manual page and the licence, and the changelog in the header.
# Both are made by one `cpack` run, as components of the same name: x86_64 and aarch64.
include(cmake/static_linux.cmake)
include(GNUInstallDirs)
configure_file(doc/hostname_check.1.in hostname_check.1 @ONLY)
configure_file(doc/rpm-changelog.in rpm-changelog @ONLY)
add_custom_command(OUTPUT hostname_check.1.gz
  COMMAND gzip -9nc hostname_check.1 > hostname_check.1.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/hostname_check.1)
add_custom_target(manual_page ALL DEPENDS hostname_check.1.gz)

set(machines x86_64 aarch64)
foreach(machine IN LISTS machines)
  add_static_linux_build(${machine} BINARY_DIR ${CMAKE_BINARY_DIR}/${machine} COPY_TO ${CMAKE_BINARY_DIR})
  # Stripped when linked: the host's strip does not know the other machine.
  install(PROGRAMS ${CMAKE_BINARY_DIR}/hostname_check-${machine} DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME hostname_check COMPONENT ${machine})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hostname_check.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${machine})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/hostname-check COMPONENT ${machine})
  set(CPACK_RPM_${machine}_PACKAGE_NAME hostname-check)
  set(CPACK_RPM_${machine}_PACKAGE_ARCHITECTURE ${machine})
  set(CPACK_RPM_${machine}_USER_FILELIST "%license /usr/share/licenses/hostname-check/LICENSE")
endforeach()

set(CPACK_PACKAGE_NAME hostname-check)
set(CPACK_PACKAGE_VENDOR "hostname_check")
set(CPACK_PACKAGE_CONTACT "hostname_check maintainers <maintainers@hostname-check.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${HOSTNAME_CHECK_LINUX_DESCRIPTION}")
set(CPACK_GENERATOR RPM)
set(CPACK_COMPONENTS_ALL ${machines})
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://hostname-check.invalid/hostname_check")
# The check runs the hostname command; it links nothing, so nothing else is required or provided.
set(CPACK_RPM_PACKAGE_REQUIRES hostname)
set(CPACK_RPM_PACKAGE_AUTOREQPROV no)
set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog)
# The directories the system's own packages own stay theirs; the licence's folder is ours.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
set(CPACK_RPM_DEFAULT_DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
# The files as built: no stripping or compressing by rpmbuild, no debug information package, no
# build-id links. A gzip payload and SHA-256 file digests, which every rpm in use reads. The same
# sources give the same packages: every member gets the sources' time (rpm would only lower the
# later ones to it, and a file from the sources keeps the time of its checkout), the build time is
# SOURCE_DATE_EPOCH, and the build host has a fixed name.
set(CPACK_RPM_SPEC_INSTALL_POST "find %{buildroot} -exec touch -h -d @${HOSTNAME_CHECK_EPOCH} {} +")
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _build_id_links none
%define _binary_payload w9.gzdio
%define _binary_filedigest_algorithm 8
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1")

# A checksum list beside each package, named after it.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/checksums.cmake)
set(CPACK_HOSTNAME_CHECK_EPOCH ${HOSTNAME_CHECK_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/reproducible.cmake)
include(CPack)
