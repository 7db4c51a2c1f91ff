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
            problems.append(f"{name} must be {words}, not {value!r}")
    return converted, problems


class ActionModule(ActionBase):
    """The hostname_check_settings action: takes no arguments; reads the role's variables."""

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
        values = {}
        problems = []
        for name in options:
            if name in task_vars:
                try:
                    values[name] = self._templar.template(task_vars[name])
                except AnsibleError as error:
                    problems.append(f"{name} cannot be read: {error.message}")
        converted, wrong = typed(options, values)
        problems += wrong
        if not problems:
            # The filter names each setting without the role's prefix.
            problems = list(filters.hostname_check_setting_problems(
                {name[len(PREFIX):]: value for name, value in converted.items()}))
        result["changed"] = False
        if problems:
            result.update(failed=True, msg=f"{HEADER}: {'; '.join(problems)}")
        return result
