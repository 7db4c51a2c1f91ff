# Builds the Ansible collection hostname_check.fleet from ansible/collections/ and the executables:
#   cmake -DSOURCE=DIR -DSTAGE=DIR -DOUTPUT=DIR -DVERSION=V -DEPOCH=SECONDS -DPYTHON=PATH
#         -DEXECUTABLES=RELATIVE|PATH,... -P collection.cmake
# The source tree's ansible/collections/ansible_collections/hostname_check/fleet is the collection,
# laid out as one, its tasks naming its plugins in full: it is copied as it is (but for what Python
# leaves there), with the executables under its role's files/executables/ (as the build lays them
# out), galaxy.yml made from galaxy.yml.in and the version put in README.md, into
# STAGE/ansible_collections/hostname_check/fleet: a collections folder as Ansible reads one (the
# collection's lint test checks it there, with ANSIBLE_COLLECTIONS_PATH=STAGE). Every file gets the
# time EPOCH, and ansible-galaxy's own clock reads EPOCH too, so that the same sources give the
# same tarball. Writes OUTPUT/hostname_check-fleet-VERSION.tar.gz and its checksum list,
# hostname_check-fleet-VERSION.SHA256SUMS, beside it.
set(collection ${SOURCE}/ansible/collections/ansible_collections/hostname_check/fleet)
file(REMOVE_RECURSE ${STAGE})
set(STAGE ${STAGE}/ansible_collections/hostname_check/fleet)
file(MAKE_DIRECTORY ${STAGE})
file(COPY ${collection}/ DESTINATION ${STAGE}
     PATTERN __pycache__ EXCLUDE PATTERN *.pyc EXCLUDE PATTERN galaxy.yml.in EXCLUDE)
string(REPLACE "," ";" executables "${EXECUTABLES}")
foreach(entry IN LISTS executables)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 relative)
  list(GET entry 1 path)
  get_filename_component(folder ${relative} DIRECTORY)
  file(COPY ${path} DESTINATION ${STAGE}/roles/hostname_check/files/executables/${folder})
endforeach()
set(PROJECT_VERSION ${VERSION})
configure_file(${collection}/galaxy.yml.in ${STAGE}/galaxy.yml @ONLY)
configure_file(${collection}/README.md ${STAGE}/README.md @ONLY)
configure_file(${SOURCE}/LICENSE ${STAGE}/LICENSE COPYONLY)

execute_process(COMMAND find ${STAGE} -exec touch -h -d @${EPOCH} {} +
                COMMAND_ERROR_IS_FATAL ANY)
set(tarball ${OUTPUT}/hostname_check-fleet-${VERSION}.tar.gz)
file(REMOVE ${tarball})
execute_process(
  COMMAND ${PYTHON} -c "import sys, time; epoch = float(sys.argv[1]); time.time = lambda: epoch; \
from ansible.cli.galaxy import main; sys.argv = sys.argv[1:]; sys.argv[0] = 'ansible-galaxy'; main()"
          ${EPOCH} collection build ${STAGE} --output-path ${OUTPUT} --force
  COMMAND_ERROR_IS_FATAL ANY)
file(SHA256 ${tarball} hash)
file(WRITE ${OUTPUT}/hostname_check-fleet-${VERSION}.SHA256SUMS "${hash}  hostname_check-fleet-${VERSION}.tar.gz\n")
