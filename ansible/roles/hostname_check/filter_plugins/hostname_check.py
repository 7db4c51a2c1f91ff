"""Filters of the hostname_check role: the executables made ready to travel, the settings checked,
and one record a host made from what the check printed there, with the report and its summary.

Whatever a host prints is untrusted: it is only ever parsed here, in Python, and what is made of it
is marked unsafe, so that Ansible never templates it. Names and messages reach the report and the
console as the host printed them, within fixed bounds.
"""

import base64
import gzip
import os
import re
import stat
import unicodedata

from ansible.errors import AnsibleFilterError
from ansible.utils.unsafe_proxy import wrap_var

# The fixed start of each of the check's four lines; each ends in "'.".
PREFIXES = (
    "The Hostname from command is '",
    "Hostname from Registry is '",
    "The test results were '",
    "Winsock gethostname is '",
)
# The longest names the check can print (its buffers less the zero byte), in characters.
NAME_LIMITS = (99, 259, None, 1023)
# The two lines with which the sockets stage says that it failed.
SOCKETS_FAILURE = re.compile(r"\AWSA Startup Failed\.\Z|\AWSAGetLastError is '-?[0-9]+'\.\Z")
# The line with which the fleet's script on a Linux host names the host's machine.
MACHINE_PREFIX = "hostname_check machine: "
# Ansible's message when a task runs out of time.
TIMED_OUT = re.compile(r"expected time frame \(([0-9]+)\)")
MESSAGE_LIMIT = 4096
CUT = " [cut: the message was longer]"
STATUSES = ("good", "bad", "failed", "unreachable")
MACHINE_NAME = re.compile(r"\A(\*|[A-Za-z0-9_.-]+)\Z")


def _text(value):
    """Text as it may go into strict JSON: bytes that were not UTF-8 (left as lone surrogates by
    the decoding) become U+FFFD."""
    if value is None:
        return ""
    return re.sub("[\ud800-\udfff]", "\ufffd", str(value))


def _lines(text):
    """The lines of a host's output: split at line feeds only (a name may hold any other line
    separator), each without the carriage return of a CR LF."""
    lines = _text(text).split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def _message(text, otherwise):
    """A message from Ansible about a host on one line: its lines, trimmed, joined with ": "."""
    return ": ".join(line.strip() for line in _lines(text) if line.strip()) or otherwise


def _cut(message):
    if len(message) <= MESSAGE_LIMIT:
        return message
    return message[: MESSAGE_LIMIT - len(CUT)] + CUT


def _name(line, index):
    """The name in one of the check's lines: the text between its fixed start and its final "'.",
    or None when the line is not that line."""
    prefix = PREFIXES[index]
    if not (line.startswith(prefix) and line.endswith("'.") and len(line) >= len(prefix) + 2):
        return None
    name = line[len(prefix) : -2]
    limit = NAME_LIMITS[index]
    return None if limit is not None and len(name) > limit else name


def hostname_check_payloads(binaries):
    """{machine: path} of executables on the controller to {machine: text}: each file compressed
    with gzip and encoded in base64, as the hosts' script unpacks it. Runs no program."""
    if not isinstance(binaries, dict) or not binaries:
        raise AnsibleFilterError("hostname_check: no executable to send (hostname_check_binaries is empty)")
    payloads = {}
    for machine, path in binaries.items():
        try:
            with open(path, "rb") as executable:
                data = executable.read()
        except OSError as error:
            raise AnsibleFilterError(
                f"hostname_check: cannot read the executable for {machine}, {path}: "
                f"{error.strerror}; build it first (cmake --workflow --preset fleet)"
            ) from error
        payloads[str(machine)] = base64.b64encode(gzip.compress(data, 9, mtime=0)).decode("ascii")
    return payloads


# ELF machine numbers (e_machine) by the name `uname -m` gives; PE machine numbers by the name
# PROCESSOR_ARCHITECTURE gives (ARM64 Windows also runs x86 and x64 programs).
ELF_MACHINES = {"x86_64": {62}, "aarch64": {183}, "i386": {3}, "i686": {3}, "armv7l": {40},
                "riscv64": {243}, "ppc64le": {21}, "s390x": {22}}
PE_MACHINES = {"x86": {0x14C}, "AMD64": {0x8664}, "ARM64": {0x14C, 0x8664, 0xAA64}}


def _executable_problem(path, kind, machine):
    """Why the file at path cannot be the executable for machine ("*": any), or None. kind: "ELF"
    (Linux) or "PE" (Windows). Reads the file's header only."""
    try:
        with open(path, "rb") as executable:
            header = executable.read(4096)
    except OSError as error:
        return f"cannot read {path}: {error.strerror}"
    if kind == "ELF":
        if header[:4] != b"\x7fELF" or len(header) < 20:
            return f"{path} is not a Linux executable (ELF)"
        found = int.from_bytes(header[18:20], "little" if header[5] == 1 else "big")
        wanted = ELF_MACHINES.get(machine)
    else:
        offset = int.from_bytes(header[0x3C:0x40], "little") if header[:2] == b"MZ" and len(header) >= 0x40 else 0
        if not offset or header[offset : offset + 4] != b"PE\0\0":
            return f"{path} is not a Windows executable (PE)"
        found = int.from_bytes(header[offset + 4 : offset + 6], "little")
        wanted = PE_MACHINES.get(machine)
    if wanted is not None and found not in wanted:
        return f"{path} is an executable for another machine than {machine}"
    return None


def hostname_check_setting_problems(settings):
    """What is wrong with the role's settings, one message a problem naming its variable; checked
    on the controller before any host is contacted. The report's folder is looked for relative to
    where ansible-playbook runs."""
    problems = []
    timeout = str(settings.get("timeout", ""))
    if not re.fullmatch("[1-9][0-9]{0,5}", timeout):
        problems.append(f"hostname_check_timeout must be a whole number of seconds from 1, not {timeout!r}")
    report = settings.get("report")
    if not isinstance(report, str) or not report or report.endswith("/"):
        problems.append(f"hostname_check_report must name a file, not {report!r}")
    elif not os.path.isdir(os.path.dirname(report) or "."):
        problems.append(f"hostname_check_report: the folder {os.path.dirname(report)!r} does not exist")
    elif os.path.isdir(report):
        problems.append(f"hostname_check_report: {report!r} is a folder; name a file")
    elif (os.stat(os.path.dirname(report) or ".").st_mode & (stat.S_IWOTH | stat.S_ISVTX)) == stat.S_IWOTH:
        problems.append(f"hostname_check_report: others may write its folder {os.path.dirname(report) or '.'!r}, "
                        "which has no sticky bit; choose a folder only you can write")
    # The Linux executables: the one for every host when given, else one a machine. Each must be
    # there, readable, and an executable for its machine: the most likely first mistake is a
    # build not made yet.
    binary = settings.get("binary")
    binaries = settings.get("binaries")
    if binary:
        problem = _executable_problem(str(binary), "ELF", "*")
        if problem:
            problems.append(f"hostname_check_binary: {problem}")
    elif not isinstance(binaries, dict) or not binaries:
        problems.append("hostname_check_binaries must map machine names (as uname -m gives them) to files")
    else:
        for machine, path in binaries.items():
            if not MACHINE_NAME.match(str(machine)):
                problems.append(f"hostname_check_binaries: {str(machine)!r} is not a machine name")
                continue
            problem = _executable_problem(str(path), "ELF", str(machine))
            if problem:
                problems.append(f"hostname_check_binaries[{machine}]: {problem}; build it first "
                                "(cmake --workflow --preset fleet)")
    # The Windows ones: the one given for every Windows host must do; of the defaults by
    # processor, those that are there must be right (a missing one fails only its hosts' copy).
    exe = settings.get("exe")
    if exe:
        problem = _executable_problem(str(exe), "PE", "*")
        if problem:
            problems.append(f"hostname_check_exe: {problem}")
    exes = settings.get("exes")
    if isinstance(exes, dict):
        for machine, path in exes.items():
            if os.path.exists(str(path)):
                problem = _executable_problem(str(path), "PE", str(machine))
                if problem:
                    problems.append(f"hostname_check_exes[{machine}]: {problem}")
    for flag in ("fail_on_bad", "fail_on_error"):
        if str(settings.get(flag)).lower() not in ("true", "false", "yes", "no", "1", "0", "on", "off"):
            problems.append(f"hostname_check_{flag} must be true or false, not {settings.get(flag)!r}")
    return problems


def _record(**fields):
    """A host's record: failed, with nothing known, unless fields say otherwise."""
    record = {"status": "failed", "command": None, "registry": None, "sockets": None,
              "sockets_error": None, "rc": None, "message": "", "arch": None}
    record.update(fields)
    return record


def _record_of_output(rc, stdout, stderr):
    record = _record(rc=rc)
    out = _lines(stdout)
    err = [line for line in _lines(stderr) if line]
    if out and out[0].startswith(MACHINE_PREFIX):
        record["arch"] = out.pop(0)[len(MACHINE_PREFIX) :] or None
    names = [_name(line, index) for index, line in enumerate(out[:3])]
    # No name from the command, and the reason on standard error ("hostname: not found"): the
    # check could not run the command, which says nothing about the host's names.
    could_not_run = names[:1] == [""] and bool(err)
    if rc == 0 and len(out) == 4 and None not in names and names[2] in ("good", "bad") and not could_not_run:
        sockets = _name(out[3], 3)
        if sockets is not None or SOCKETS_FAILURE.search(out[3]):
            record.update(status=names[2], command=names[0], registry=names[1], sockets=sockets,
                          sockets_error=None if sockets is not None else out[3])
            return record
    if could_not_run:
        record["message"] = _cut(": ".join(err))
        return record
    record["message"] = _cut(": ".join([f"status {rc}"] + out + err))
    return record


def hostname_check_record(results, machine=None):
    """One host's record from the results of the tasks that ran the check there, in order: the
    first that could not reach the host or failed without running the check decides; otherwise the
    last, which ran it, by its status and what it printed. machine: on Windows, the result of the
    task that printed the processor, which the record keeps as its arch."""
    record = _record(message="the check did not run")
    if isinstance(machine, dict) and machine.get("rc") == 0:
        record["arch"] = next(iter(_lines(machine.get("stdout"))), "").strip() or None
    arch = record["arch"]
    for result in results or []:
        if not isinstance(result, dict) or result.get("skipped"):
            continue
        if result.get("unreachable"):
            record.update(status="unreachable", message=_cut(_message(result.get("msg"), "unreachable")))
            return wrap_var(record)
        if "rc" not in result and result.get("failed"):
            message = _message(result.get("msg"), "failed")
            timed_out = TIMED_OUT.search(message)
            if timed_out:
                message = f"timed out after {timed_out.group(1)} seconds"
            record.update(message=_cut(message))
            return wrap_var(record)
        if "rc" in result:
            rc = result["rc"] if isinstance(result["rc"], int) else None
            record = _record_of_output(rc, result.get("stdout"), result.get("stderr"))
            record["arch"] = record["arch"] or arch
    return wrap_var(record)


def hostname_check_report(records, generated=None, version=None):
    """The report: {host: record} with the counts by status, and the command names that two or more
    hosts give, compared without regard to case as host names are."""
    hosts = {host: records[host] for host in sorted(records)}
    summary = {status: 0 for status in STATUSES}
    sharing = {}
    for host, record in hosts.items():
        summary[record["status"]] += 1
        if record.get("command"):
            sharing.setdefault(record["command"].lower(), []).append(host)
    duplicates = {name: names for name, names in sorted(sharing.items()) if len(names) > 1}
    return wrap_var({"generated": generated, "version": version, "hosts": hosts,
                     "summary": summary, "duplicates": duplicates})


def _shown(text):
    """Text for the console: every control, format (bidirectional ones included) and line or
    paragraph separator character as an escape (\\u009b), so that what a host printed cannot move
    the cursor, recolour or reorder the terminal. The report keeps the text as it is."""
    return "".join(
        f"\\u{ord(char):04x}" if unicodedata.category(char) in ("Cc", "Cf", "Zl", "Zp") else char
        for char in str(text)
    )


def hostname_check_verdict(record):
    """The line that says why a host is not good, escaped for the console; empty for a good host."""
    if record["status"] == "bad":
        return _shown(f"bad: command '{record['command']}', registry '{record['registry']}'")
    if record["status"] == "good":
        return ""
    return _shown(f"{record['status']}: {record['message']}")


def hostname_check_summary(report):
    """The console's summary: the counts, one line a host that is not good (by name), and one line
    a name that several hosts share."""
    counts = report["summary"]
    lines = ["hostname_check: " + ", ".join(f"{counts[status]} {status}" for status in STATUSES)]
    for host, record in report["hosts"].items():
        verdict = hostname_check_verdict(record)
        if verdict:
            status, _, rest = verdict.partition(": ")
            lines.append(f"{status}: {host}: {rest}")
    for name, hosts in report["duplicates"].items():
        lines.append(_shown(f"same name: {name}: {', '.join(hosts)}"))
    return wrap_var(lines)


STATS_HOSTS = 1000
STATS_LINE = 512


def hostname_check_stats(report, path=None):
    """The report as a job's artifacts (set_stats), bounded whatever the fleet's size: the counts,
    at most STATS_HOSTS hosts that are not good with their verdict lines (each at most STATS_LINE
    characters) and as many shared names, and how many were left out."""
    not_good = {}
    for host, record in report["hosts"].items():
        verdict = hostname_check_verdict(record)
        if verdict:
            not_good[host] = verdict[:STATS_LINE]
    shared = dict(report["duplicates"])
    left_out = max(0, len(not_good) - STATS_HOSTS) + max(0, len(shared) - STATS_HOSTS)
    return wrap_var({
        "version": report["version"], "generated": report["generated"], "report": path,
        "summary": report["summary"],
        "not_good": dict(list(not_good.items())[:STATS_HOSTS]),
        "duplicates": dict(list(shared.items())[:STATS_HOSTS]),
        "left_out": left_out,
    })


def hostname_check_project_version(cmakelists):
    """The version in the project() line of CMakeLists.txt, as the packages take it; None when
    there is none."""
    found = re.search(r"\bproject\s*\([^)]*?\bVERSION\s+([0-9][0-9A-Za-z.]*)", cmakelists or "")
    return found.group(1) if found else None


class FilterModule:
    """The role's filters."""

    def filters(self):
        return {
            "hostname_check_payloads": hostname_check_payloads,
            "hostname_check_setting_problems": hostname_check_setting_problems,
            "hostname_check_record": hostname_check_record,
            "hostname_check_report": hostname_check_report,
            "hostname_check_verdict": hostname_check_verdict,
            "hostname_check_summary": hostname_check_summary,
            "hostname_check_stats": hostname_check_stats,
            "hostname_check_project_version": hostname_check_project_version,
        }
