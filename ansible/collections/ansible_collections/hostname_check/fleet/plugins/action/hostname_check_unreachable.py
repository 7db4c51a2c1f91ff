"""Gives a host that the run task could not reach as Ansible's unreachable, once the report is
written.

The run task keeps such a host in the play (ignore_unreachable), so that the report, the summary
and the job's artifacts are made also when no host of the play could be reached; this task, which
runs only for those hosts, then counts each as Ansible does (its status, 4, and the recap), with
the reason as the record gives it, escaped for the console and never templated. It contacts no
host.
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
            record = filters.hostname_check_record([registered] if isinstance(registered, dict) else [])
        result.update(changed=False, unreachable=True, msg=wrap_var(filters.hostname_check_verdict(record)))
        return result
