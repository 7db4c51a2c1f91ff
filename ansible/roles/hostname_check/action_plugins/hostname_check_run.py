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


def command_line(script, limit, machines):
    """The command for the host's login shell: the script (bytes) in base64, run by /bin/sh with
    the time limit and the machines as its arguments."""
    encoded = base64.b64encode(script).decode("ascii")
    return " ".join(
        ["/bin/sh -c 'command -v base64 >/dev/null || { echo \"hostname_check: this host has no base64,"
         " which the check needs to start\" >&2; exit 125; }; eval \"$(echo " + encoded + " | base64 -d)\"'"
         " hostname_check", str(int(limit))]
        + [shlex.quote(str(machine)) for machine in machines]
    )


def standard_input(payloads, machines):
    """One line a machine, in the order of the arguments: its payload. Bytes, which every
    connection that sends standard input takes (local wants nothing else)."""
    return "".join(str(payloads[machine]) + "\n" for machine in machines).encode("ascii")


def host_limit(timeout):
    """The host stops the check well before the controller gives up on the host: a fifth of the
    time, at least 3 seconds, is left for the connection, so that on a busy controller the host's
    own limit, with its message, is still the one reached."""
    timeout = int(timeout)
    return max(1, timeout - max(3, timeout // 5))


def bounded(text):
    """At most OUTPUT_LIMIT characters of what a host printed."""
    return (text or "")[:OUTPUT_LIMIT]


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
        with open(self._find_needle("files", "hostname_check_run.sh"), "rb") as script_file:
            script = script_file.read()
        machines = list(payloads)
        command = command_line(script, host_limit(self._task.args.get("timeout", 60)), machines)
        # As raw does: the command goes to the login shell as it is.
        ran = self._low_level_execute_command(
            command, in_data=standard_input(payloads, machines), executable=False
        )
        result.update(changed=False, rc=ran["rc"])
        for stream in ("stdout", "stderr"):
            result[stream] = bounded(ran.get(stream))
        return result
