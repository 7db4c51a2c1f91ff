"""Makes hostname_check's report on the controller, writes it, and says what it found.

Runs once, on the controller, for the hosts of the play: takes each host's record from what the
run task registered there, read as it is and marked unsafe, never templated (the record it made,
or, when the task did not give one, one made from its result by plugin_utils/record.py, so that host
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
import json
import os
from collections.abc import Mapping

from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase
from ansible.utils.display import Display
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.record import failing, hostname_check_record, hostname_check_report
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.report_file import write_atomically
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.shown import (
    hostname_check_name_text, hostname_check_stats, hostname_check_summary, hostname_check_verdict)

# What the role's run task registers on a host: its record as ASCII JSON text, or Ansible's own
# result when the task gave none (unreachable).
RESULT = "hostname_check_result"


def raw_vars(hostvars, host):
    """A host's variables as they are, never templated: HostVars.raw_get, or the mapping itself
    where there is no such method."""
    raw_get = getattr(hostvars, "raw_get", None)
    found = raw_get(host) if raw_get is not None else hostvars.get(host)
    return found if isinstance(found, Mapping) else {}


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
            name = hostname_check_name_text(host)
            names[name] = host
            if isinstance(registered, dict) and isinstance(registered.get("record"), str):
                records[name] = wrap_var(json.loads(registered["record"]))
            else:
                records[name] = hostname_check_record([registered] if registered else [])
        version = str(args["version"]) if args.get("version") else None
        generated = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        report = hostname_check_report(records, generated, version)
        lines = list(hostname_check_summary(report))

        fail_on_bad = boolean(args.get("fail_on_bad", True))
        fail_on_error = boolean(args.get("fail_on_error", True))
        write = boolean(args.get("write", True))
        failing_hosts = {}
        for host, record in report["hosts"].items():
            if failing(record, fail_on_bad, fail_on_error):
                failing_hosts[names.get(host, host)] = hostname_check_verdict(record)
        path = str(args["path"])
        stats = hostname_check_stats(report, os.path.abspath(path) if write else None)
        # The job's artifacts, once for the run, as set_stats leaves them (per_host and aggregate false).
        result.update(changed=False, summary=lines, failing=failing_hosts, stats=stats,
                      ansible_stats={"data": {"hostname_check": stats}, "per_host": False, "aggregate": False})
        if not write:
            lines.append("report: none written (hostname_check_write_report is false)")
        elif self._task.check_mode:
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
