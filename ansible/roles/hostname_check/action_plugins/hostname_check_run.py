"""Runs hostname_check on a Linux host in one round trip, over any connection that runs a command.

The host's /bin/sh gets the role's script in base64 on one command line, which any login shell
passes on as it is, and the executables, one for each machine, on its standard input, so that
they are never part of a command line that Ansible or ssh could show. The script runs the one
for the host's machine (uname -m) in a private directory where a program may run, and removes it
however the run ends. The result is the command's rc, stdout and stderr, at most OUTPUT_LIMIT
characters of each; changes nothing on the host, and runs the same in check mode.
"""

import base64
import shlex

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase

OUTPUT_LIMIT = 65536


class ActionModule(ActionBase):
    """The hostname_check_run action: payloads (machine -> executable as hostname_check_payloads
    makes it) and timeout (seconds the whole task may take)."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("payloads", "timeout"))

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        if not getattr(self._connection, "has_pipelining", False):
            raise AnsibleActionFail(
                "hostname_check: the connection cannot send the executable on standard input; "
                "use ssh (the default) or local"
            )
        payloads = self._task.args.get("payloads")
        if not isinstance(payloads, dict) or not payloads:
            raise AnsibleActionFail("hostname_check_run: no payloads")
        # The host stops the check a second before the controller gives up on the host.
        limit = max(1, int(self._task.args.get("timeout", 60)) - 1)
        with open(self._find_needle("files", "hostname_check_run.sh"), "rb") as script_file:
            script = base64.b64encode(script_file.read()).decode("ascii")
        machines = [str(machine) for machine in payloads]
        command = " ".join(
            ["/bin/sh -c 'eval \"$(echo " + script + " | base64 -d)\"' hostname_check", str(limit)]
            + [shlex.quote(machine) for machine in machines]
        )
        stdin = "".join(str(payloads[machine]) + "\n" for machine in machines)
        # As raw does: the command goes to the login shell as it is.
        ran = self._low_level_execute_command(command, in_data=stdin, executable=False)
        result.update(changed=False, rc=ran["rc"])
        for stream in ("stdout", "stderr"):
            text = ran.get(stream) or ""
            result[stream] = text[:OUTPUT_LIMIT]
        return result
