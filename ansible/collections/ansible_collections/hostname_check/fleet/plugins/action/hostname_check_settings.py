"""Checks hostname_check's settings once, on the controller, before any host is contacted.

The role's variables are described once, in its meta/argument_specs.yml, which ansible-doc shows.
Ansible would check them against it by itself, but once for every host, as a task of each, and
with the whole description in its message; this action checks them once, against the same
description: first each value's type (with Ansible's own conversions, so that `-e NAME=VALUE`
text is read as Ansible reads it), then, with plugin_utils/settings.py, what the values name (the
executables, the report's folder). Every problem is said in one message, naming its variable; none
is hidden. Changes nothing.
"""

import os

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.settings import (
    HOST_SETTINGS, PREFIX, hostname_check_host_setting_problems, hostname_check_setting_problems, options_of, typed,
    usable)
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.shown import shown_text

# In a play of the controller's own before the fleet's, the fleet's play's host pattern.
FLEET = "hostname_check_fleet_hosts"
# What the role's settings task registers.
CHECKED = "hostname_check_checked"
HEADER = "hostname_check: the settings on the controller are wrong; no host was contacted"


class ActionModule(ActionBase):
    """The hostname_check_settings action: takes no arguments; reads the role's variables, for the
    host it runs for and, of those a host may have of its own, for every host of the play. Returns
    them as the role uses them (settings: the run's; hosts: each host's own, where they differ)."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset()

    def run(self, tmp=None, task_vars=None):
        self._supports_check_mode = True
        result = super().run(tmp, task_vars)
        role = getattr(self._task, "_role", None)
        if role is None:
            raise AnsibleError("hostname_check_settings: run it from the hostname_check role")
        with open(os.path.join(role._role_path, "meta", "argument_specs.yml"), encoding="utf-8") as description:
            options = options_of(description.read())
        problems = []

        def read(get, defined, what=""):
            values = {}
            for name in options:
                if defined(name):
                    try:
                        values[name] = get(name)
                    except AnsibleError as error:
                        problems.append(f"{what}{name} cannot be read: {shown_text(error.message)}")
            return values

        converted, wrong = typed(options, read(lambda name: self._templar.template(task_vars[name]),
                                               lambda name: name in task_vars))
        problems += [shown_text(problem) for problem in wrong]
        played = list(task_vars.get("ansible_play_hosts") or [])
        batch = set(task_vars.get("ansible_play_batch") or played)
        fleet = played
        pattern = task_vars.get(FLEET)
        inventory = getattr(task_vars.get("hostvars"), "_inventory", None)
        if pattern and inventory is not None:
            # The controller's own play, before the fleet's: the hosts of the fleet's play (its
            # pattern, as --limit leaves it; the play in progress restricts to its own), whose own
            # values are checked here.
            fleet = [host.name for host in inventory.get_hosts(str(pattern), ignore_restrictions=True)]
        if set(played) - batch:
            problems.append("the play runs its hosts in batches (serial), but the report is made once, for all the "
                            "play's hosts: use the role in a play without serial")
        if not problems:
            problems = [shown_text(problem)
                        for problem in hostname_check_setting_problems(usable(converted), len(fleet))]
        settings = usable(converted)
        hosts = {}
        hostvars = task_vars.get("hostvars") or {}
        current = task_vars.get("inventory_hostname")
        if problems and current in played and current in hostvars:
            # The run's settings are those of the host this runs for, a host of the fleet's play:
            # a value it has of its own (not given with -e) is named with the host, as any host's.
            extra = getattr(getattr(hostvars, "_variable_manager", None), "extra_vars", None) or {}
            found = hostvars[current]
            own = tuple(PREFIX + name for name in HOST_SETTINGS if PREFIX + name in found and PREFIX + name not in extra)
            named = f"host {shown_text(current)}: "
            problems = [named + problem if own and problem.startswith(own) else problem for problem in problems]
        earlier = None
        if not problems and not pattern and inventory is not None and "localhost" in hostvars:
            # The fleet's play after the controller's: what that play found of each host's own,
            # against the same settings, for these hosts too, need not be found again.
            found = hostvars["localhost"]
            earlier = found[CHECKED] if CHECKED in found else None
            if not (isinstance(earlier, dict) and earlier.get("fleet") and earlier.get("settings") == settings
                    and set(played) <= {host.name for host in inventory.get_hosts(str(earlier["fleet"]), ignore_restrictions=True)}):
                earlier = None
        if earlier is not None:
            hosts = dict(earlier.get("hosts") or {})
        elif not problems:
            # What a host has of its own: checked as the run's are, named by host.
            mine = {PREFIX + name for name in HOST_SETTINGS}
            for host in fleet:
                if host not in hostvars:
                    continue
                found = hostvars[host]
                named = f"host {shown_text(host)}: "
                values = read(lambda name: found[name], lambda name: name in mine and name in found, named)
                own, wrong = typed(options, values)
                own = {name: value for name, value in usable(own).items() if value != settings.get(name)}
                problems += [named + shown_text(problem)
                             for problem in wrong + hostname_check_host_setting_problems(own)]
                if own:
                    hosts[str(host)] = own
        result["changed"] = False
        if problems:
            result.update(failed=True, msg=wrap_var(f"{HEADER}: {'; '.join(problems)}"))
        else:
            # The host this runs for, run once: the first of the play still in it, which every
            # later run-once task of the role runs for too, while it stays in the play.
            result.update(settings=settings, hosts=hosts, first=str(current))
            if pattern:
                result["fleet"] = str(pattern)
        return result
