"""Checks hostname_check's settings once, on the controller, before any host is contacted.

The role's variables are described once, in its meta/argument_specs.yml, which ansible-doc shows.
Ansible would check them against it by itself, but once for every host, as a task of each, and
with the whole description in its message; this action checks them once, against the same
description: first each value's type (with Ansible's own conversions, so that `-e NAME=VALUE`
text is read as Ansible reads it), then, with the role's filter, what the values name (the
executables, the report's folder). Every problem is said in one message, naming its variable; none
is hidden. Changes nothing.
"""

import importlib.util
import os

import yaml
from ansible.errors import AnsibleError
from ansible.module_utils.common import validation
from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var

# The entry point of meta/argument_specs.yml that describes the variables.
ENTRY_POINT = "main"
# Each type of the description, how Ansible converts a value to it, and how a person says it.
TYPES = {
    "str": (validation.check_type_str, "text"),
    "path": (validation.check_type_path, "a path"),
    "int": (validation.check_type_int, "a whole number"),
    "bool": (validation.check_type_bool, "true or false"),
    "dict": (validation.check_type_dict, "a dictionary (JSON with -e)"),
    "list": (validation.check_type_list, "a list"),
}
PREFIX = "hostname_check_"
# In a play of the controller's own before the fleet's, the fleet's play's host pattern.
FLEET = "hostname_check_fleet_hosts"
# What the role's settings task registers.
CHECKED = "hostname_check_checked"
HEADER = "hostname_check: the settings on the controller are wrong; no host was contacted"


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


def options_of(description):
    """The options of the entry point in the text of meta/argument_specs.yml."""
    return yaml.safe_load(description)["argument_specs"][ENTRY_POINT]["options"]


def typed(options, values):
    """The values converted to their options' types, and one message a value that is not of its
    type. values: {name: value} of the variables that are set."""
    converted, problems = {}, []
    for name, option in options.items():
        if name not in values:
            continue
        value = values[name]
        convert, words = TYPES.get(option.get("type", "str"), TYPES["str"])
        try:
            converted[name] = convert(value)
        except (TypeError, ValueError):
            problems.append(f"{name} must be {words}, not {_text(value)}")
    return converted, problems


def _text(value):
    """A value as it may be shown: what a host printed may be in it (a setting a play took from a
    host's output), so it is escaped as every host text is."""
    return filters._shown(repr(value))


def usable(converted):
    """The settings as the role uses them, from their converted values: paths in the
    dictionaries' values with ~ expanded, as the path options' are, and the Linux executables by
    machine, hostname_check_binary, when set, for every machine."""
    settings = {name[len(PREFIX):]: value for name, value in converted.items()}
    for name in ("binaries", "exes"):
        if isinstance(settings.get(name), dict):
            settings[name] = {str(key): os.path.expanduser(str(path)) for key, path in settings[name].items()}
    if settings.get("binary"):
        settings["binaries"] = {"*": settings["binary"]}
    return settings


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
                        problems.append(f"{what}{name} cannot be read: {filters._shown(error.message)}")
            return values

        converted, wrong = typed(options, read(lambda name: self._templar.template(task_vars[name]),
                                               lambda name: name in task_vars))
        problems += [filters._shown(problem) for problem in wrong]
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
            problems = [filters._shown(problem)
                        for problem in filters.hostname_check_setting_problems(usable(converted), len(fleet))]
        settings = usable(converted)
        hosts = {}
        hostvars = task_vars.get("hostvars") or {}
        current = task_vars.get("inventory_hostname")
        if problems and current in played and current in hostvars:
            # The run's settings are those of the host this runs for, a host of the fleet's play:
            # a value it has of its own (not given with -e) is named with the host, as any host's.
            extra = getattr(getattr(hostvars, "_variable_manager", None), "extra_vars", None) or {}
            found = hostvars[current]
            own = tuple(PREFIX + name for name in filters.HOST_SETTINGS if PREFIX + name in found and PREFIX + name not in extra)
            named = f"host {filters._shown(current)}: "
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
            mine = {PREFIX + name for name in filters.HOST_SETTINGS}
            for host in fleet:
                if host not in hostvars:
                    continue
                found = hostvars[host]
                named = f"host {filters._shown(host)}: "
                values = read(lambda name: found[name], lambda name: name in mine and name in found, named)
                own, wrong = typed(options, values)
                own = {name: value for name, value in usable(own).items() if value != settings.get(name)}
                problems += [named + filters._shown(problem)
                             for problem in wrong + filters.hostname_check_host_setting_problems(own)]
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
