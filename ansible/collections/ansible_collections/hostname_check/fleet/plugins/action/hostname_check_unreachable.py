"""Gives a host that the run task could not reach as Ansible's unreachable, once the report is
written.

The run task keeps such a host in the play (ignore_unreachable), so that the report, the summary
and the job's artifacts are made also when no host of the play could be reached; this task, which
runs only for those hosts, then counts each as Ansible does (its status, 4, and the recap), with
the reason as the record gives it, escaped for the console and never templated. It contacts no
host.
"""

import json

from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.record import hostname_check_record
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.shown import hostname_check_verdict

# What the role's run task registers on a host.
RESULT = "hostname_check_result"


class ActionModule(ActionBase):
    """The hostname_check_unreachable action: takes no arguments; reads what the run task
    registered on the host."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset()

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        registered = (task_vars or {}).get(RESULT)
        if isinstance(registered, dict) and isinstance(registered.get("record"), str):
            record = json.loads(registered["record"])
        else:
            record = hostname_check_record([registered] if isinstance(registered, dict) else [])
        result.update(changed=False, unreachable=True, msg=wrap_var(hostname_check_verdict(record)))
        return result
