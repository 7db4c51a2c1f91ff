"""Counts the host that the run task could not reach, but kept in the play, as Ansible's
unreachable, once the report is written.

Ansible takes a host it cannot reach out of the play at once, and when no host is left it ends the
play: nothing after would run, not the report either. So the run task keeps one such host in the
play, the one the role's run-once tasks run for (the first host of the play still in it); this
task, run once too and so for that host, then counts it as Ansible counts an unreachable host (its
status, 4, and the recap), with the reason as the record gives it, escaped for the console and
never templated. For any other host there is nothing to count. It contacts no host.
"""

import json

from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.shown import hostname_check_verdict

# What the role's run task registers on a host.
RESULT = "hostname_check_result"


class ActionModule(ActionBase):
    """The hostname_check_unreachable action: takes no arguments; reads what the run task
    registered on the host it runs for."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset()

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        registered = (task_vars or {}).get(RESULT)
        if not (isinstance(registered, dict) and registered.get("kept") and isinstance(registered.get("record"), str)):
            result.update(changed=False, skipped=True, msg="no host was kept in the play to be counted")
            return result
        record = json.loads(registered["record"])
        result.update(changed=False, unreachable=True, msg=wrap_var(hostname_check_verdict(record)))
        return result
