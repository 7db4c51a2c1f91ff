"""Makes hostname_check's report on the controller, writes it, and says what it found.

Runs once, on the controller, for the hosts of the play: takes each host's record from what the
run task registered there (the record it made, or, when the task did not give one, as for a host
that could not be reached, one made from its result with the role's filters, so that host output
is only parsed in Python and stays unsafe), writes the JSON report, except in check mode, and shows
the summary on the console, once, not as any host's result, so that it stays in quiet mode
(ANSIBLE_DISPLAY_OK_HOSTS=false). Returns the summary (summary) and, for each host that failed,
the line that says why (failing).

The report is written to a new file in the report's folder, which then takes the report's name:
a reader never sees half a report, and whatever stood under the name, a link someone planted there
included, is replaced and never written through.
"""

import contextlib
import datetime
import errno
import json
import os
import stat
import tempfile

from ansible.errors import AnsibleError
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase
from ansible.utils.display import Display
from ansible.utils.unsafe_proxy import wrap_var
from jinja2.exceptions import TemplateSyntaxError

# What the role's run task registers on a host: its record as ASCII JSON text, or Ansible's own
# result when the task gave none (unreachable).
RESULT = "hostname_check_result"


def write_atomically(path, text):
    """Writes text to path through a new file in the same folder, renamed over path. The file's
    mode (0666 less the umask) is set through the open file, never by name; after the rename the
    name must lead to that very file, or the write fails. A folder that others may write without
    the sticky bit is refused: there anyone could swap the file for a link before the rename."""
    folder = os.path.dirname(path) or "."
    if (os.stat(folder).st_mode & (stat.S_IWOTH | stat.S_ISVTX)) == stat.S_IWOTH:
        raise OSError(errno.EPERM, "others may write its folder, which has no sticky bit; choose a folder only you can write")
    mask = os.umask(0o077)
    os.umask(mask)
    descriptor, temporary = tempfile.mkstemp(prefix=".hostname_check_report.", suffix=".tmp", dir=folder)
    try:
        # Kept open until the name is checked: an inode still open cannot be freed and reused.
        with os.fdopen(descriptor, "w", encoding="utf-8") as report:
            report.write(text)
            report.flush()
            os.fchmod(report.fileno(), 0o666 & ~mask)
            os.fsync(report.fileno())
            written = os.fstat(report.fileno())
            os.replace(temporary, path)
            now = os.lstat(path)
            if (now.st_dev, now.st_ino) != (written.st_dev, written.st_ino):
                raise OSError(errno.EEXIST, "something else took the report's name while it was written; look at what is there")
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


class ActionModule(ActionBase):
    """The hostname_check_report action: hosts (the play's), path (of the report), version (the
    role's), fail_on_bad, fail_on_error."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("hosts", "path", "version", "fail_on_bad", "fail_on_error"))

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        args = self._task.args
        # The role's filters, by their short names in a role of its own, by their full ones in the
        # collection.
        loaded = self._templar.environment.filters

        class Filters:
            def __getitem__(self, name):
                try:
                    return loaded[name]
                except (KeyError, AnsibleError, TemplateSyntaxError):
                    return loaded[f"hostname_check.fleet.{name}"]

        filters = Filters()
        hostvars = task_vars["hostvars"]

        records = {}
        for host in args["hosts"]:
            registered = hostvars[host].get(RESULT)
            if isinstance(registered, dict) and isinstance(registered.get("record"), str):
                records[str(host)] = wrap_var(json.loads(registered["record"]))
            else:
                records[str(host)] = filters["hostname_check_record"]([registered] if registered else [])
        version = str(args["version"]) if args.get("version") else None
        generated = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        report = filters["hostname_check_report"](records, generated, version)
        lines = list(filters["hostname_check_summary"](report))

        fail_on_bad = boolean(args.get("fail_on_bad", True))
        fail_on_error = boolean(args.get("fail_on_error", True))
        failing = {}
        for host, record in report["hosts"].items():
            if (record["status"] == "bad" and fail_on_bad) or (
                record["status"] in ("failed", "unreachable") and fail_on_error
            ):
                failing[host] = filters["hostname_check_verdict"](record)
        stats = filters["hostname_check_stats"](report, os.path.abspath(str(args["path"])))
        result.update(changed=False, summary=lines, failing=failing, stats=stats)

        path = str(args["path"])
        if self._task.check_mode:
            lines.append(f"report: none written (check mode), {os.path.abspath(path)} is left as it was")
        else:
            try:
                write_atomically(path, json.dumps(report, indent=2, ensure_ascii=False) + "\n")
            except OSError as error:
                result.update(failed=True, msg=f"hostname_check: cannot write the report {path}: {error.strerror}")
            else:
                hosts = len(report["hosts"])
                lines.append(f"report: {os.path.abspath(path)}, {hosts} host{'s' if hosts != 1 else ''}")
        Display().display("\n".join(lines))
        return result
