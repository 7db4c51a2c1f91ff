"""Counts the host that the run task could not reach, but kept in the play, as Ansible's
unreachable, once the report is written.

Ansible takes a host it cannot reach out of the play at once, and when no host is left it ends the
play: nothing after would run, not the report either. So the run task keeps one such host in the
play, the one the role's run-once tasks run for (the first host of the play still in it); this
task, run once too and so for that host, then counts it as Ansible counts an unreachable host (its
status, 4, and the recap), with the reason as the record gives it, escaped for the console and
never templated. For any other host there is nothing to count. It contacts no host.
"""

import importlib.util
import json
import os

from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

# What the role's run task registers on a host.
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
        result.update(changed=False, unreachable=True, msg=wrap_var(filters.hostname_check_verdict(record)))
        return result
