"""The role's settings, checked on the controller before any host is contacted: the description of
its variables (meta/argument_specs.yml) read, each value converted to its type as Ansible converts
it, the values made into the settings the role uses, and what they name checked: the executables,
the report's folder, and the settings a host may have of its own.
"""

import os
import re

import yaml
from ansible.module_utils.common import validation
from ansible.module_utils.parsing.convert_bool import boolean

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.executables import BINARY_HINT, executable_problem
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.report_file import report_problem
from ansible_collections.hostname_check.fleet.plugins.plugin_utils.shown import shown_text


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
    return shown_text(repr(value))


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
MACHINE_NAME = re.compile(r"\A(\*|[A-Za-z0-9_.-]+)\Z")


def _boolean_problem(settings, flag):
    """Why the setting is not a boolean as Ansible takes one (type: bool in meta/argument_specs.yml, and
    the role's action), or None: one rule, Ansible's own."""
    try:
        boolean(settings.get(flag), strict=True)
    except TypeError:
        return (f"hostname_check_{flag} must be true or false (or yes/no, on/off, y/n, t/f, 1/0), "
                f"not {settings.get(flag)!r}")
    return None


# The settings a host may have of its own (in the inventory, say): the others are the run's.
HOST_SETTINGS = ("timeout", "fail_on_bad", "fail_on_error", "windows", "exes", "exe")


def hostname_check_host_setting_problems(settings):
    """What is wrong with the settings a host may have of its own, of those given, one message a
    problem naming its variable."""
    problems = []
    if "timeout" in settings:
        timeout = str(settings["timeout"])
        if not re.fullmatch("[1-9][0-9]{0,5}", timeout):
            problems.append(f"hostname_check_timeout must be a whole number of seconds from 1, not {timeout!r}")
    for flag in ("fail_on_bad", "fail_on_error"):
        problem = _boolean_problem(settings, flag) if flag in settings else None
        if problem:
            problems.append(problem)
    if settings.get("windows") is not None:
        problem = _boolean_problem(settings, "windows")
        if problem:
            problems.append(problem)
    # The Windows ones: the one given for every Windows host must do; of the defaults by
    # processor, those that are there must be right (a missing one fails only its hosts' copy).
    exe = settings.get("exe")
    if exe:
        problem = executable_problem(str(exe), "PE", "*")
        if problem:
            problems.append(f"hostname_check_exe: {problem}")
    exes = settings.get("exes")
    if "exes" in settings and not isinstance(exes, dict):
        problems.append("hostname_check_exes must map processors (as PROCESSOR_ARCHITECTURE names them) to files")
    elif isinstance(exes, dict):
        for machine, path in exes.items():
            if os.path.exists(str(path)):
                problem = executable_problem(str(path), "PE", str(machine))
                if problem:
                    problems.append(f"hostname_check_exes[{machine}]: {problem}")
    return problems


def hostname_check_setting_problems(settings, hosts=1):
    """What is wrong with the role's settings, one message a problem naming its variable; checked
    on the controller before any host is contacted. The report's folder is looked for relative to
    where ansible-playbook runs, and must take a report for that many hosts."""
    settings = dict(settings)
    settings.setdefault("timeout", "")
    for flag in ("fail_on_bad", "fail_on_error"):
        settings.setdefault(flag, None)
    problems = hostname_check_host_setting_problems({name: settings[name] for name in ("timeout", "fail_on_bad",
                                                                                       "fail_on_error")})
    problem = _boolean_problem(dict({"write_report": True}, **settings), "write_report")
    if problem:
        problems.append(problem)
    elif boolean(settings.get("write_report", True)):
        problem = report_problem(settings.get("report"), hosts)
        if problem:
            problems.append(problem)
    # The Linux executables: the one for every host when given, else one a machine. Each must be
    # there, readable, and a statically linked executable for its machine: the most likely first
    # mistake is a path that names none.
    binary = settings.get("binary")
    binaries = settings.get("binaries")
    if binary:
        problem = executable_problem(str(binary), "ELF", "*")
        if problem:
            problems.append(f"hostname_check_binary: {problem}")
    elif not isinstance(binaries, dict) or not binaries:
        problems.append("hostname_check_binaries must map machine names (as uname -m gives them) to files")
    else:
        for machine, path in binaries.items():
            if not MACHINE_NAME.match(str(machine)):
                problems.append(f"hostname_check_binaries: {str(machine)!r} is not a machine name")
                continue
            problem = executable_problem(str(path), "ELF", str(machine))
            if problem:
                problems.append(f"hostname_check_binaries[{machine}]: {problem}; {BINARY_HINT}")
    problems += hostname_check_host_setting_problems({name: settings[name] for name in ("windows", "exes", "exe")
                                                      if name in settings})
    return problems
