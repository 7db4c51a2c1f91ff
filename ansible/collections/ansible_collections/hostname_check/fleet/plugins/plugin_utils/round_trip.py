"""A Linux host's round trip, as the run action makes it: the command line for the host's login
shell (the role's script in base64, run by /bin/sh), the executables on its standard input, the
host's own time limit within the task's, what is kept of the host's output; and the controller's
side of a run cut short: the connection's processes that the task started, ended.
"""

import base64
import contextlib
import os
import shlex
import signal
import time

OUTPUT_LIMIT = 65536


def command_line(script, limit, machines):
    """The command for the host's login shell: the script (bytes) in base64, run by /bin/sh with
    the time limit and the machines as its arguments."""
    encoded = base64.b64encode(script).decode("ascii")
    return " ".join(
        ["/bin/sh -c 'command -v base64 >/dev/null || { echo \"hostname_check: this host has no base64,"
         " which the check needs to start\" >&2; exit 125; }; eval \"$(echo " + encoded + " | base64 -d)\"'"
         " hostname_check", str(int(limit))]
        + [shlex.quote(str(machine)) for machine in machines]
    )


def standard_input(payloads, machines):
    """One line a machine, in the order of the arguments: its payload. Bytes, which every
    connection that sends standard input takes (local wants nothing else)."""
    return "".join(str(payloads[machine]) + "\n" for machine in machines).encode("ascii")


def host_limit(timeout):
    """The host stops the check well before the controller gives up on the host: a fifth of the
    time, at least 3 seconds, is left for the connection, so that on a busy controller the host's
    own limit, with its message, is still the one reached."""
    timeout = int(timeout)
    return max(1, timeout - max(3, timeout // 5))


def bounded(text):
    """At most OUTPUT_LIMIT characters of what a host printed."""
    return (text or "")[:OUTPUT_LIMIT]


def children():
    """The pids of this process's children: from /proc/self/task/*/children, or, where the kernel
    keeps no such list, from the parent of every process."""
    found = set()
    try:
        for task in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{task}/children", encoding="ascii") as listed:
                found.update(int(pid) for pid in listed.read().split())
        return found
    except FileNotFoundError:
        pass
    me = os.getpid()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError, ValueError, IndexError):
            with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
                # The parent follows the state, after the command's name in parentheses.
                if int(stat.read().rpartition(")")[2].split()[1]) == me:
                    found.add(int(pid))
    return found


def end_children(kept, grace=1.0):
    """Ends this process's children that are not among kept: TERM (ssh then closes its session and
    ends a ProxyCommand it started), and KILL for any still there after grace seconds; each is
    reaped. A child not yet reaped keeps its pid, so that no other process is ever signalled."""
    started = children() - kept
    for pid in started:
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while started:
        for pid in list(started):
            try:
                if os.waitpid(pid, os.WNOHANG)[0] == pid:
                    started.discard(pid)
            except ChildProcessError:
                started.discard(pid)
        if started and time.monotonic() >= deadline:
            for pid in started:
                with contextlib.suppress(OSError):
                    os.kill(pid, signal.SIGKILL)
                with contextlib.suppress(ChildProcessError):
                    os.waitpid(pid, 0)
            break
        if started:
            time.sleep(0.02)
