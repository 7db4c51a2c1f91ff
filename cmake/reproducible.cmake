# Read by CPack before it packs: every member of a package gets the one time the configure step
# chose (SOURCE_DATE_EPOCH, or the last commit's), and a zip's local times are UTC, so that the
# same sources give the same package wherever and whenever they are packed.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_HOSTNAME_CHECK_EPOCH}")
set(ENV{TZ} UTC)
