"""A host's record, made from what the check printed there (or why it did not run), whether it
fails the host, and the report of all the records with its counts and the names hosts share.

Whatever a host prints is untrusted: it is only ever parsed here, in Python, and what is made of it
is marked unsafe, so that Ansible never templates it. Names and messages reach the report as the
host printed them, within fixed bounds.
"""

import re

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
# A machine name (uname -m, PROCESSOR_ARCHITECTURE) is a few characters: a host that prints more
# gets that many in its record.
ARCH_LIMIT = 64
# Ansible's message when a task runs out of time.
TIMED_OUT = re.compile(r"expected time frame \(([0-9]+)\)")
MESSAGE_LIMIT = 4096
CUT = " [cut: the message was longer]"
STATUSES = ("good", "bad", "failed", "unreachable")


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
        record["arch"] = out.pop(0)[len(MACHINE_PREFIX) :][:ARCH_LIMIT] or None
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
        record["arch"] = next(iter(_lines(machine.get("stdout"))), "").strip()[:ARCH_LIMIT] or None
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


def failing(record, fail_on_bad, fail_on_error):
    """Whether the host's own record fails it: bad, when bad hosts fail; not checked (failed,
    unreachable), when those fail."""
    return (record["status"] == "bad" and fail_on_bad) or (
        record["status"] in ("failed", "unreachable") and fail_on_error)


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
