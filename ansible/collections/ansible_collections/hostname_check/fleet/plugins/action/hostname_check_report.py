"""Makes hostname_check's report on the controller, writes it, and says what it found.

Runs once, on the controller, for the hosts of the play: takes each host's record from what the
run task registered there, read as it is and marked unsafe, never templated (the record it made,
or, when the task did not give one, one made from its result with the role's filters, so that host
output is only parsed in Python and stays unsafe), writes the JSON report, except in check mode, and shows
the summary on the console, once, not as any host's result, so that it stays in quiet mode
(ANSIBLE_DISPLAY_OK_HOSTS=false). Returns the summary (summary), for each host that failed, the
line that says why (failing), and the report as the job's artifacts (stats), which it also leaves
as set_stats does (ansible_stats), so that no task of its own is needed for them.

The report is written to a new file in the report's folder, which then takes the report's name:
a reader never sees half a report. Only a regular file is replaced; the folder is reached from /
through no link, every folder on the way root's or the user's and written by no one else unless
sticky, and the file is made, renamed and, on failure, removed through a descriptor of that
folder, so that nothing is ever written through a link or into a folder swapped in meanwhile.
"""

import datetime
import errno
import importlib.util
import json
import os
from collections.abc import Mapping

from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase
from ansible.utils.display import Display
from ansible.utils.unsafe_proxy import wrap_var

# What the role's run task registers on a host: its record as ASCII JSON text, or Ansible's own
# result when the task gave none (unreachable).
RESULT = "hostname_check_result"


def load_filters():
    """The role's filter plugin, from the folder beside this one: filter_plugins/ in the role,
    filter/ in the collection. Loaded with this file, which Ansible loads before it starts its
    workers, so that no worker loads it again."""
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in ("filter_plugins", "filter"):
        path = os.path.join(here, os.pardir, folder, "hostname_check.py")
        if os.path.isfile(path):
            found = importlib.util.spec_from_file_location("hostname_check_filters", path)
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            return module
    raise ImportError(f"hostname_check: no hostname_check.py beside {here}")


filters = load_filters()


def raw_vars(hostvars, host):
    """A host's variables as they are, never templated: HostVars.raw_get, or the mapping itself
    where there is no such method."""
    raw_get = getattr(hostvars, "raw_get", None)
    found = raw_get(host) if raw_get is not None else hostvars.get(host)
    return found if isinstance(found, Mapping) else {}


def write_atomically(path, text, report_folder):
    """Writes text (UTF-8) as the report at path, through a new file in the report's folder that
    then takes the report's name. report_folder (the role's filter hostname_check_report_folder)
    opens the folder, walked from / without following links and checked at every level, and
    returns its descriptor or why it will not do; everything is then done relative to that
    descriptor: the new file made (mode 0600, never through a link), its mode (0666 less the
    umask) set on the open file, the rename, and the removal of the new file when anything fails,
    so that a folder renamed or swapped meanwhile changes nothing and no file is left anywhere.
    Raises OSError, whose strerror says what was found."""
    opened = report_folder(path)
    if "problem" in opened:
        raise OSError(errno.EPERM, opened["problem"])
    folder, name, where = opened["descriptor"], opened["name"], opened["folder"]
    try:
        data = memoryview(text.encode("utf-8"))
        mask = os.umask(0o077)
        os.umask(mask)
        descriptor, temporary = filters.hostname_check_new_report_file(folder, where)
        renamed = False
        made = None
        try:
            made = os.fstat(descriptor)
            while data:
                data = data[os.write(descriptor, data) :]
            os.fchmod(descriptor, 0o666 & ~mask)
            os.fsync(descriptor)
            os.rename(temporary, name, src_dir_fd=folder, dst_dir_fd=folder)
            renamed = True
            # The descriptor kept open until the name is checked: an inode still open cannot be
            # freed and reused.
            now = os.stat(name, dir_fd=folder, follow_symlinks=False)
            if (now.st_dev, now.st_ino) != (made.st_dev, made.st_ino):
                raise OSError(errno.EEXIST, "something else took the report's name as it was written; look at what is there")
        except BaseException:
            if not renamed:
                filters._remove_new_file(folder, temporary, made)
            raise
        finally:
            os.close(descriptor)
    finally:
        os.close(folder)


class ActionModule(ActionBase):
    """The hostname_check_report action: hosts (the play's), path (of the report), version (the
    role's), fail_on_bad, fail_on_error, write (false: no report is written)."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("hosts", "path", "version", "fail_on_bad", "fail_on_error", "write"))

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        args = self._task.args
        hostvars = task_vars["hostvars"]

        # Inventory names that are not UTF-8 go into the report escaped; each host is failed by its
        # own name.
        records = {}
        names = {}
        for host in args["hosts"]:
            # Read raw: hostvars[host] templates every value not marked unsafe, and Ansible leaves
            # some of a result unmarked (an unreachable host's message, the traceback of an
            # unexpected failure), which may hold a host's words. Marked unsafe here, all of it.
            registered = wrap_var(raw_vars(hostvars, host).get(RESULT))
            name = filters.hostname_check_name_text(host)
            names[name] = host
            if isinstance(registered, dict) and isinstance(registered.get("record"), str):
                records[name] = wrap_var(json.loads(registered["record"]))
            else:
                records[name] = filters.hostname_check_record([registered] if registered else [])
        version = str(args["version"]) if args.get("version") else None
        generated = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        report = filters.hostname_check_report(records, generated, version)
        lines = list(filters.hostname_check_summary(report))

        fail_on_bad = boolean(args.get("fail_on_bad", True))
        fail_on_error = boolean(args.get("fail_on_error", True))
        write = boolean(args.get("write", True))
        failing = {}
        for host, record in report["hosts"].items():
            if (record["status"] == "bad" and fail_on_bad) or (
                record["status"] in ("failed", "unreachable") and fail_on_error
            ):
                failing[names.get(host, host)] = filters.hostname_check_verdict(record)
        path = str(args["path"])
        stats = filters.hostname_check_stats(report, os.path.abspath(path) if write else None)
        # The job's artifacts, once for the run, as set_stats leaves them (per_host and aggregate false).
        result.update(changed=False, summary=lines, failing=failing, stats=stats,
                      ansible_stats={"data": {"hostname_check": stats}, "per_host": False, "aggregate": False})
        if not write:
            lines.append("report: none written (hostname_check_write_report is false)")
        elif self._task.check_mode:
            lines.append(f"report: none written (check mode), {os.path.abspath(path)} is left as it was")
        else:
            try:
                write_atomically(path, json.dumps(report, indent=2, ensure_ascii=False) + "\n",
                                 filters.hostname_check_report_folder)
            except OSError as error:
                result.update(failed=True, msg=f"hostname_check: cannot write the report {path}: {error.strerror}")
            else:
                hosts = len(report["hosts"])
                lines.append(f"report: {os.path.abspath(path)}, {hosts} host{'s' if hosts != 1 else ''}")
        Display().display("\n".join(lines))
        return result
