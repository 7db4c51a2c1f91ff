"""Runs hostname_check on a host and gives its verdict: the whole of a host's work, in one task.

On a Linux host, one round trip over any connection that runs a command: the host's /bin/sh gets
the role's script in base64 on one command line, which any login shell passes on as it is, and
the executables, one for each machine, on its standard input, so that they are never part of a
command line that Ansible or ssh could show. The script runs the one for the host's machine
(uname -m) in a private directory where a program may run, and removes it however the run ends.
On a Windows host (reached over WinRM or PSRP, or whose shell is PowerShell or cmd), the same steps
with the Windows modules: a private directory, the executable for the processor copied in, the
check run there, the directory removed in every case.

What the host printed is parsed by plugin_utils/record.py into the host's record; the task fails when
the host is bad (fail_on_bad) or could not be checked (fail_on_error), with the verdict line as
its message, escaped for the console. The record travels as ASCII JSON text, so that nothing a host
printed reaches the console as it is, and the report takes it from there. The whole task is bound
by timeout seconds. Changes nothing on the host, and runs the same in check mode.

The task takes no arguments: the action reads the settings as the role's settings task checked
and converted them, once, for every host of the play (each host's own where it has them), so that
Ansible has nothing to template for each host, and what is used is what was checked. The
collection's plugin_utils modules are imported with this file, before Ansible starts its workers,
so that no worker loads them again.
"""

import contextlib
import json
import signal

from ansible.errors import AnsibleActionFail, AnsibleConnectionFailure, AnsibleError
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.record import failing, hostname_check_record
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.round_trip import (
    bounded, children, command_line, end_children, host_limit, standard_input)
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.shown import hostname_check_verdict

# What the role's settings task registers: the settings as it checked and converted them.
CHECKED = "hostname_check_checked"


class OutOfTime(BaseException):
    """The task's time is up: not an Exception, so that no handler on the way takes it for an
    error of the connection."""


def _out_of_time(signum, frame):
    raise OutOfTime()


def windows_shell(connection):
    """Whether the connection's shell is Windows': PowerShell or cmd (WinRM and PSRP use no other)."""
    return getattr(getattr(connection, "_shell", None), "SHELL_FAMILY", "sh") in ("powershell", "cmd")


class ActionModule(ActionBase):
    """The hostname_check_run action: takes no arguments. Reads hostname_check_payloads (machine
    -> executable, as the filter hostname_check_payloads makes it, once for all hosts), and the
    settings as the role's settings task checked and converted them (hostname_check_checked), the
    host's own where it has them: timeout (seconds the whole task may take), windows (whether the
    host is run as Windows; unset, when its shell is), exes and exe (the Windows executables on
    the controller), fail_on_bad and fail_on_error."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset()

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        task_vars = task_vars or {}
        checked = task_vars.get(CHECKED)
        if not isinstance(checked, dict) or not isinstance(checked.get("settings"), dict):
            raise AnsibleActionFail("hostname_check_run: the role's settings were not checked; run it as the role does")
        own = (checked.get("hosts") or {}).get(str(task_vars.get("inventory_hostname")))
        settings = dict(checked["settings"], **(own or {}))
        setting = settings.get
        timeout = int(setting("timeout", 60))
        fail_on_bad = boolean(setting("fail_on_bad", True))
        fail_on_error = boolean(setting("fail_on_error", True))
        windows = setting("windows", None)
        machine = None
        # The whole round trip is bounded here, so that a host that never answers is a record like
        # any other ("timed out"), failed or not as fail_on_error says; the connection's processes
        # started meanwhile are ended then. A host that cannot be reached at all is Ansible's
        # unreachable, unless hosts that could not be checked are not to fail: then it is a record
        # like the others.
        kept = children()
        previous = signal.signal(signal.SIGALRM, _out_of_time)
        signal.alarm(max(1, timeout))
        try:
            if windows_shell(self._connection) if windows is None else boolean(windows):
                steps, machine = self._windows(task_vars, setting("exes", None) or {}, setting("exe", ""))
            else:
                steps = [self._linux(task_vars.get("hostname_check_payloads"), timeout)]
        except OutOfTime:
            signal.alarm(0)
            end_children(kept)
            steps = [{"failed": True, "msg": f"timed out after {timeout} seconds"}]
        except AnsibleActionFail as error:
            steps = [{"failed": True, "msg": str(error.message)}]
        except AnsibleConnectionFailure as error:
            steps = [{"unreachable": True, "msg": str(error.message)}]
        finally:
            signal.alarm(0)
            signal.signal(signal.SIGALRM, previous)
        record = hostname_check_record(steps, machine)
        result.update(changed=False, record=json.dumps(record, ensure_ascii=True, sort_keys=True))
        if record["status"] == "unreachable" and fail_on_error:
            # Ansible's own unreachable, with the reason escaped and never templated. Ansible takes
            # such a host out of the play at once; the host the role's run-once tasks run for
            # stays, so that the report is written also when no host could be reached, and is
            # counted as unreachable once it is (hostname_check_unreachable).
            verdict = wrap_var(hostname_check_verdict(record))
            if task_vars.get("inventory_hostname") == checked.get("first"):
                result.update(skipped=True, kept=True, msg=verdict)
            else:
                result.update(unreachable=True, msg=verdict)
        elif failing(record, fail_on_bad, fail_on_error):
            result.update(failed=True, msg=wrap_var(hostname_check_verdict(record)))  # host text: never templated
        return result

    def _linux(self, payloads, timeout):
        """The Linux round trip: its rc, stdout and stderr, at most OUTPUT_LIMIT characters of each."""
        if not getattr(self._connection, "has_pipelining", False):
            raise AnsibleActionFail(
                "hostname_check: the connection cannot send the executable on standard input; "
                "use ssh (the default) or local"
            )
        if not isinstance(payloads, dict) or not payloads:
            raise AnsibleActionFail("hostname_check_run: no payloads")
        with open(self._find_needle("files", "hostname_check_run.sh"), "rb") as script_file:
            script = script_file.read()
        machines = list(payloads)
        command = command_line(script, host_limit(timeout), machines)
        # As raw does: the command goes to the login shell as it is.
        try:
            ran = self._low_level_execute_command(
                command, in_data=standard_input(payloads, machines), executable=False
            )
        except AnsibleConnectionFailure as error:
            # When ssh gives up (connection refused, say) before it has taken the executables, all
            # Ansible can tell is the broken pipe: ask once more with nothing to send, so that the
            # host is unreachable for ssh's own reason.
            if "Broken pipe" not in str(error.message):
                raise
            self._low_level_execute_command("exit 0", executable=False)
            raise
        return {"rc": ran["rc"], "stdout": bounded(ran.get("stdout")), "stderr": bounded(ran.get("stderr"))}

    def _windows(self, task_vars, exes, exe):
        """The Windows steps, each result kept as the record wants them (the directory, the copy,
        the run), and the result that named the processor."""
        module = self._execute_module
        steps = []
        machine = None
        try:
            made = module("ansible.windows.win_tempfile", {"state": "directory", "prefix": "hostname_check."},
                          task_vars=task_vars)
            steps.append(made)
            folder = made.get("path")
            if not folder or made.get("failed"):
                return steps, machine
            try:
                machine = module("ansible.windows.win_command", {"cmd": "cmd.exe /c echo %PROCESSOR_ARCHITECTURE%"},
                                 task_vars=task_vars)
                processor = str(machine.get("stdout") or "").strip()
                source = exe or exes.get(processor) or exes.get("x86")
                executable = folder + "\\hostname_check.exe"
                try:
                    self._connection.put_file(self._loader.path_dwim(str(source)), executable)
                except (AnsibleError, OSError) as error:
                    steps.append({"failed": True, "msg": f"cannot copy {source} to the host: {error}"})
                    return steps, machine
                steps.append({"changed": True})
                steps.append(module("ansible.windows.win_command", {"cmd": f'"{executable}"', "chdir": folder},
                                    task_vars=task_vars))
            finally:
                with contextlib.suppress(AnsibleError, OutOfTime):
                    module("ansible.windows.win_file", {"path": folder, "state": "absent"}, task_vars=task_vars)
        finally:
            with contextlib.suppress(AnsibleError, OutOfTime):
                self._remove_tmp_path(self._connection._shell.tmpdir)
        return steps, machine
