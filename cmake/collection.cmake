# Builds the Ansible collection hostname_check.fleet from ansible/ and the executables:
#   cmake -DSOURCE=DIR -DSTAGE=DIR -DOUTPUT=DIR -DVERSION=V -DEPOCH=SECONDS -DPYTHON=PATH
#         -DEXECUTABLES=RELATIVE|PATH,... -P collection.cmake
# The role is ansible/roles/hostname_check, with the executables under its files/executables/ (as
# the build lays them out); its plugins become the collection's (so that ansible-doc shows them),
# which its tasks then name in full; the playbook is ansible/hostname_check.yml naming the role by its full
# name. Every file gets the time EPOCH, and ansible-galaxy's own clock reads EPOCH too, so that the
# same sources give the same tarball. Writes OUTPUT/hostname_check-fleet-VERSION.tar.gz and its
# checksum list, hostname_check-fleet-VERSION.SHA256SUMS, beside it.
set(role ${SOURCE}/ansible/roles/hostname_check)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/roles ${STAGE}/plugins/filter ${STAGE}/plugins/action
     ${STAGE}/plugins/modules ${STAGE}/playbooks ${STAGE}/meta)
file(COPY ${role} DESTINATION ${STAGE}/roles)
string(REPLACE "," ";" executables "${EXECUTABLES}")
foreach(entry IN LISTS executables)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 relative)
  list(GET entry 1 path)
  get_filename_component(folder ${relative} DIRECTORY)
  file(COPY ${path} DESTINATION ${STAGE}/roles/hostname_check/files/executables/${folder})
endforeach()
# Inside a collection a role's own filters are not loaded, and its actions are best named in full:
# the staged tasks name them by the collection's names.
file(GLOB task_files ${STAGE}/roles/hostname_check/tasks/*.yml)
foreach(task_file IN LISTS task_files)
  file(READ ${task_file} tasks)
  string(REPLACE "| hostname_check_" "| hostname_check.fleet.hostname_check_" tasks "${tasks}")
  # An action, at any depth of a block: the task's key, alone on its line.
  string(REGEX REPLACE "\n( *)(hostname_check_[a-z_]+):(\n| *#)" "\n\\1hostname_check.fleet.\\2:\\3" tasks "${tasks}")
  file(WRITE ${task_file} "${tasks}")
endforeach()
file(COPY ${role}/filter_plugins/hostname_check.py DESTINATION ${STAGE}/plugins/filter)
# The plugins are the collection's alone: one copy of each.
file(REMOVE_RECURSE ${STAGE}/roles/hostname_check/filter_plugins ${STAGE}/roles/hostname_check/action_plugins
     ${STAGE}/roles/hostname_check/library)
file(GLOB actions ${role}/action_plugins/*.py)
file(COPY ${actions} DESTINATION ${STAGE}/plugins/action)
file(GLOB modules ${role}/library/*.py)
file(COPY ${modules} DESTINATION ${STAGE}/plugins/modules)
file(READ ${SOURCE}/ansible/hostname_check.yml playbook)
string(REPLACE "name: hostname_check\n" "name: hostname_check.fleet.hostname_check\n" playbook "${playbook}")
string(REPLACE "#   ansible-playbook -i INVENTORY ansible/hostname_check.yml"
               "#   ansible-playbook -i INVENTORY hostname_check.fleet.check" playbook "${playbook}")
file(WRITE ${STAGE}/playbooks/check.yml "${playbook}")
file(COPY ${SOURCE}/ansible/collection/meta/runtime.yml DESTINATION ${STAGE}/meta)
file(COPY ${SOURCE}/ansible/collection/requirements-windows.yml DESTINATION ${STAGE})
set(PROJECT_VERSION ${VERSION})
configure_file(${SOURCE}/ansible/collection/galaxy.yml.in ${STAGE}/galaxy.yml @ONLY)
configure_file(${SOURCE}/ansible/collection/README.md ${STAGE}/README.md @ONLY)
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
