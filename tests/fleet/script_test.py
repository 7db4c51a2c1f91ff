"""The host-side script as it runs on a host, without SSH: the action plugin's own command line
and standard input, fed to this machine's /bin/sh with stand-in executables, one row a case.
Folders a program may not run in are noexec mounts in a private mount namespace (root only); tools
a host lacks are left off PATH; a busybox host is busybox-static mounted over /bin/sh in a private
mount namespace (root only), with a PATH of its applets. Every run carries a mark of its own in its
environment, by which the processes it leaves (none, ever) are told from everyone else's.
    python3 -m unittest tests/fleet/script_test.py
"""

import concurrent.futures
import contextlib
import ctypes
import errno
import json
import os
import platform
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import uuid
from unittest import mock

from ansible.inventory.manager import InventoryManager
from ansible.parsing.dataloader import DataLoader
from ansible.utils.unsafe_proxy import AnsibleUnsafe, AnsibleUnsafeText
from ansible.vars.hostvars import HostVars
from ansible.vars.manager import VariableManager

from tests.fleet.collection import ANSIBLE, PLAYBOOK, ROLE, plugin

filters = plugin("filter.hostname_check")
record_py = plugin("plugin_utils.record")
report_file_py = plugin("plugin_utils.report_file")
action = plugin("action.hostname_check_run")
round_trip = plugin("plugin_utils.round_trip")
report = plugin("action.hostname_check_report")
with open(os.path.join(ROLE, "files", "hostname_check_run.sh"), "rb") as script_file:
    SCRIPT = script_file.read()
MACHINE = platform.machine()
TOOLS = ("uname", "sed", "mktemp", "base64", "gzip", "chmod", "rm", "cat", "sleep", "timeout", "pwd", "ps", "sh")
# Found here, for a wrapper that runs with the PATH of the host the row makes.
UNSHARE, MOUNT, FIND = (shutil.which(tool) for tool in ("unshare", "mount", "find"))
ROOT = os.geteuid() == 0 and UNSHARE is not None
BUSYBOX = shutil.which("busybox")
# The tools a busybox host's PATH has: links to busybox, which runs the applet a link names.
BUSYBOX_TOOLS = ("uname", "sed", "mktemp", "base64", "gzip", "chmod", "rm", "cat", "sleep", "pwd", "ps", "sh")
# How many times the rows that run the script many times under load run it, four at once; more
# for a measurement (HOSTNAME_CHECK_WATCHDOG_RUNS=1000).
WATCHDOG_RUNS = int(os.environ.get("HOSTNAME_CHECK_WATCHDOG_RUNS", "100"))

# Stand-ins for the check: each says where it ran.
SAYS_WHERE = 'echo "ran in $PWD"'
CRASHES = SAYS_WHERE + "\nkill -SEGV $$"
HANGS = SAYS_WHERE + "\nexec sleep 217"
# One that hangs two processes below it, as the check does in `hostname`, which it runs through
# sh: check, sh, sleep.
HANGS_BELOW = SAYS_WHERE + "\nsh -c '(exec sleep 218); :'\nexit 0"
# One that hangs and leaves a process of its own outside its tree (its parent gone), which only
# the end of the whole process group reaches: what GNU timeout does.
HANGS_AND_LEAVES = SAYS_WHERE + "\n(sleep 220 &)\nexec sleep 217"
# The same ways, with processes that ignore TERM (and so does what they start): below the check,
# outside its tree, the check itself, and one the check leaves behind when it ends in time.
HANGS_IGNORING_TERM = SAYS_WHERE + "\nsh -c \"trap '' TERM; exec sleep 221\"\nexit 0"
HANGS_AND_LEAVES_IGNORING_TERM = SAYS_WHERE + "\n(trap '' TERM; sleep 222 &)\nexec sleep 217"
IGNORES_TERM = SAYS_WHERE + "\ntrap '' TERM\nsleep 223\nexit 0"
LEAVES_IGNORING_TERM = SAYS_WHERE + "\n(trap '' TERM; exec sleep 224) &\nexit 0"
# One that writes on its standard error, which reaches the script's.
SAYS_ON_ERROR = SAYS_WHERE + "\necho 'the check says' >&2\nexit 3"
# One that finds nothing but itself in its folder (no probe, no other file).
ALONE = SAYS_WHERE + "\nfor name in * .[!.]*; do [ \"$name\" = hostname_check ] || [ \"$name\" = '.[!.]*' ] || exit 9; done"
# One that hangs in a process whose name looks like the end of a process's own line in
# /proc/PID/stat, with 1 as its parent: "x) S 1 y".
HANGS_DISGUISED = SAYS_WHERE + """
cat "$(command -v sleep)" >'x) S 1 y' && chmod 700 'x) S 1 y' && './x) S 1 y' 219
exit 0"""
# A ps that takes no -o, as busybox's was before it learnt it.
PS_WITHOUT_O = '#!/bin/sh\necho "ps: invalid option -- \'o\'" >&2\nexit 1\n'


def default_signals():
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM):
        signal.signal(number, signal.SIG_DFL)


class Script(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="hostname_check_script.")
        self.addCleanup(shutil.rmtree, self.work)
        for folder in ("tmp", "home", "bin"):
            os.mkdir(os.path.join(self.work, folder))

    def payloads(self, standins):
        files = {}
        for machine, body in standins.items():
            path = os.path.join(self.work, f"standin-{uuid.uuid4()}")  # runs at once each have theirs
            with open(path, "w", encoding="ascii") as standin:
                standin.write("#!/bin/sh\n" + body + "\n")
            files[machine] = path
        return filters.hostname_check_payloads(files)

    def path_without(self, missing, ps_without_o=False):
        """A PATH with this machine's tools but the missing ones."""
        folder = tempfile.mkdtemp(dir=os.path.join(self.work, "bin"))
        for tool in TOOLS:
            found = shutil.which(tool)
            if tool not in missing and found:
                os.symlink(found, os.path.join(folder, tool))
        if ps_without_o:
            os.unlink(os.path.join(folder, "ps"))
            with open(os.path.join(folder, "ps"), "w", encoding="ascii") as ps:
                ps.write(PS_WITHOUT_O)
            os.chmod(os.path.join(folder, "ps"), 0o755)
        return folder

    def busybox_path(self):
        """A PATH of busybox applets, and no timeout among them."""
        folder = tempfile.mkdtemp(dir=os.path.join(self.work, "bin"))
        for tool in BUSYBOX_TOOLS:
            os.symlink(BUSYBOX, os.path.join(folder, tool))
        return folder

    def marked(self, mark=None):
        """The processes that carry this row's mark (or the one given): pid and command line."""
        mark = mark or self.mark
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if mark not in environ.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    found.append((int(pid), cmdline.read().split(b"\0")[:-1]))
            except OSError:
                continue  # gone meanwhile
        return found

    def script_pid(self, ran):
        """The pid of the script's shell, once the check's deepest process (`sleep 218`) runs."""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and ran.poll() is None:
            processes = self.marked()
            if any(args == [b"sleep", b"218"] for _, args in processes):
                return next(pid for pid, args in processes if args[1:2] == [b"-c"] and args[3:4] == [b"hostname_check"])
            time.sleep(0.02)
        self.fail("the check never ran")

    def run_script(self, standins, limit=5, tmpdir=None, missing=(), noexec=(), cwd=None, busybox=False,
                   ps_without_o=False, send=None, payload=None, read_through=False):
        payloads = self.payloads(standins)
        if payload is not None:
            payloads = dict.fromkeys(payloads, payload)
        machines = list(payloads)
        command = round_trip.command_line(SCRIPT, limit, machines)
        if busybox:
            path = self.busybox_path()
        elif missing or ps_without_o:
            path = self.path_without(missing, ps_without_o)
        else:
            path = os.environ["PATH"]
        env = {"PATH": path,
               "HOME": os.path.join(self.work, "home"),
               "TMPDIR": os.path.join(self.work, "tmp") if tmpdir is None else tmpdir,
               "HOSTNAME_CHECK_TEST_MARK": self.mark.decode().partition("=")[2]}
        argv = ["/bin/sh", "-c", command]
        left = os.path.join(self.work, "left")
        if noexec or busybox:
            # In a mount namespace of the run's own: the folders become empty noexec tmpfs mounts,
            # busybox becomes /bin/sh. What the run leaves in the mounts is listed before they go.
            mounts = [f"{MOUNT} -t tmpfs -o noexec tmpfs {folder}" for folder in noexec]
            if busybox:
                mounts.append(f"{MOUNT} --bind {BUSYBOX} /bin/sh")
            argv = [UNSHARE, "--mount", "--propagation", "private", "/bin/sh", "-c",
                    " && ".join(mounts) + ' && { "$@"; status=$?; '
                    + (f"{FIND} {' '.join(noexec)} -mindepth 1 >{left}; " if noexec else "")
                    + "exit $status; }", "unshare"] + argv
        started = time.monotonic()
        # As a host's login shell starts it: no signal ignored, even when this test runs in the
        # background (where INT and QUIT are ignored, and a shell cannot trap what it was started
        # ignoring).
        ran = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, cwd=cwd or self.work, preexec_fn=default_signals)
        try:
            if send is None and not read_through:
                out, err = ran.communicate(round_trip.standard_input(payloads, machines), timeout=60)
            elif send is None:
                # Over ssh, executables left unread fail the host as unreachable ("data could not
                # be sent"), whatever the script said: it reads them to their end, also when it
                # cannot use them.
                try:
                    ran.stdin.write(round_trip.standard_input(payloads, machines))
                    ran.stdin.close()
                except BrokenPipeError:
                    self.fail("the script left the executables on its standard input unread")
                ran.stdin = None  # written, for communicate
                out, err = ran.communicate(timeout=60)
            else:
                ran.stdin.write(round_trip.standard_input(payloads, machines))
                ran.stdin.close()
                ran.stdin = None  # written, for communicate
                os.kill(self.script_pid(ran), send)
                signalled = time.monotonic()
                out, err = ran.communicate(timeout=60)
                self.after_signal = time.monotonic() - signalled
        except BaseException:
            # Every process of the run is ended, whatever holds its pipes, so that the row fails
            # at once and leaves nothing.
            self.end_marked(self.mark)
            ran.kill()
            ran.communicate()
            raise
        elapsed = time.monotonic() - started
        if noexec:
            with open(left, encoding="utf-8") as listed:
                self.assertEqual(listed.read(), "", "the run left files in a folder where no program may run")
        return ran.returncode, out.decode(), err.decode(), elapsed

    def end_marked(self, mark):
        for pid, _ in self.marked(mark):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)

    def assert_no_process_left(self):
        """None of the run's processes stays (one it signalled is given a moment to go); any that
        does is named, then killed."""
        deadline = time.monotonic() + 3
        while self.marked() and time.monotonic() < deadline:
            time.sleep(0.05)
        left = self.marked()
        for pid, _ in left:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        self.assertEqual(left, [], "a process of the run is left")

    @contextlib.contextmanager
    def load(self):
        """Both cores kept busy, for a minute at most, whatever happens to the test."""
        spin = "import time\nend = time.monotonic() + 60\nwhile time.monotonic() < end:\n    pass\n"
        loops = [subprocess.Popen([sys.executable, "-c", spin]) for _ in range(2)]
        try:
            yield
        finally:
            for loop in loops:
                loop.kill()
                loop.wait()

    def assert_nothing_left(self):
        for folder in ("tmp", "home"):
            self.assertEqual(os.listdir(os.path.join(self.work, folder)), [], folder)

    def test_script(self):
        tmp = os.path.join(self.work, "tmp")
        home = os.path.join(self.work, "home")
        machine_line = f"hostname_check machine: {MACHINE}\n"
        no_folder = "no folder where a program may run"
        # name, stand-ins by machine, keyword arguments, status, where it ran (None: nowhere),
        # what standard error ends with, whether it needs root
        cases = [
            ("the host's machine is picked", {"nosuch": "exit 7", MACHINE: SAYS_WHERE}, {}, 0, tmp, "", False),
            ("* serves any machine", {"*": SAYS_WHERE}, {}, 0, tmp, "", False),
            ("the first that fits wins", {MACHINE: SAYS_WHERE, "*": "exit 7"}, {}, 0, tmp, "", False),
            ("no executable for the machine", {"nosuch": SAYS_WHERE}, {}, 125, None,
             f"hostname_check: no executable for this host's machine, {MACHINE} (there are: nosuch)\n", False),
            ("the check's status is kept", {MACHINE: SAYS_WHERE + "\nexit 3"}, {}, 3, tmp, "", False),
            # The status says it; no shell adds words of its own ("Segmentation fault").
            ("a crash", {MACHINE: CRASHES}, {}, 128 + 11, tmp, "", False),
            ("a crash without timeout", {MACHINE: CRASHES}, {"missing": ("timeout",)}, 128 + 11, tmp, "", False),
            ("out of time", {MACHINE: HANGS}, {"limit": 1}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time without timeout", {MACHINE: HANGS}, {"limit": 1, "missing": ("timeout",)}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time without timeout, below the check", {MACHINE: HANGS_BELOW}, {"limit": 1, "missing": ("timeout",)},
             124, tmp, "hostname_check: timed out after 1 seconds\n", False),
            ("out of time, below the check", {MACHINE: HANGS_BELOW}, {"limit": 1}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time, a process that left the check's tree", {MACHINE: HANGS_AND_LEAVES}, {"limit": 1}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time without timeout, a process that left the check's tree", {MACHINE: HANGS_AND_LEAVES},
             {"limit": 1, "missing": ("timeout",)}, 124, tmp, "hostname_check: timed out after 1 seconds\n", False),
        ] + [
            # Nothing the check started outlives the run, also what ignores TERM: no process left,
            # nothing holding the script's output open after it ends.
            (f"{what}{how}", {MACHINE: standin}, dict(options, limit=1), 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False)
            for what, standin in (("out of time, below the check, ignoring TERM", HANGS_IGNORING_TERM),
                                  ("out of time, a process that left the check's tree and ignores TERM",
                                   HANGS_AND_LEAVES_IGNORING_TERM),
                                  ("out of time, a check that ignores TERM", IGNORES_TERM))
            for how, options in (("", {}), (" without timeout", {"missing": ("timeout",)}))
        ] + [
            ("in time, a process left behind that ignores TERM", {MACHINE: LEAVES_IGNORING_TERM}, {}, 0, tmp, "", False),
            ("in time without timeout, a process left behind that ignores TERM", {MACHINE: LEAVES_IGNORING_TERM},
             {"missing": ("timeout",)}, 0, tmp, "", False),
            ("out of time without timeout, a ps that takes no -o", {MACHINE: HANGS_BELOW},
             {"limit": 1, "missing": ("timeout",), "ps_without_o": True}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            # A check that ends at once, once and then again and again, four runs at once with both
            # cores busy: never reported out of time, never waiting out the limit (long enough that
            # a machine busy with more than this test does not run out of it), nothing on standard
            # error (a shell's "Terminated" of the sleep it waited for). Under dash and busybox's sh
            # the sleep's shell took the check's early end for the script's own trap and forgot it.
            ("in time without timeout", {MACHINE: SAYS_WHERE}, {"missing": ("timeout",), "limit": 20}, 0, tmp,
             "", False),
            (f"in time without timeout, {WATCHDOG_RUNS} times under load", {MACHINE: SAYS_WHERE},
             {"missing": ("timeout",), "runs": WATCHDOG_RUNS, "limit": 20}, 0, tmp, "", False),
            ("a relative TMPDIR", {MACHINE: SAYS_WHERE}, {"tmpdir": "tmp"}, 0, tmp, "", False),
            ("the check's folder holds the check alone", {MACHINE: ALONE}, {}, 0, tmp, "", False),
            ("the check's standard error", {MACHINE: SAYS_ON_ERROR}, {}, 3, tmp, "the check says\n", False),
            ("the check's standard error without timeout", {MACHINE: SAYS_ON_ERROR}, {"missing": ("timeout",)}, 3, tmp,
             "the check says\n", False),
            ("out of time without timeout, a process named to hide its parent", {MACHINE: HANGS_DISGUISED},
             {"limit": 1, "missing": ("timeout",)}, 124, tmp, "hostname_check: timed out after 1 seconds\n", False),
            # Not gzip: nothing is run.
            ("an executable that does not unpack", {MACHINE: SAYS_WHERE}, {"payload": "bm90IGd6aXAK"}, 125, None,
             re.compile(r"hostname_check: cannot unpack the executable in .*/tmp/hostname_check\.\w+\n\Z"), False),
            ("a TMPDIR that is not there", {MACHINE: SAYS_WHERE}, {"tmpdir": "/nonexistent"}, 0, "/var/tmp", "", False),
        ] + [
            # The connection drops while the check hangs: the script, sent the signal, ends the
            # check with everything below it at once, and removes the folder.
            (f"{signal.Signals(sent).name} to the script{how}", {MACHINE: HANGS_BELOW},
             dict(options, limit=30, send=sent), 129, tmp, "", False)
            for sent in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)
            for how, options in (("", {}), (" without timeout", {"missing": ("timeout",)}))
        ] + [
            (f"no {tool}", {MACHINE: SAYS_WHERE}, {"missing": (tool,)}, 125, None,
             f"hostname_check: this host has no {tool}, which the check needs to start\n", False)
            for tool in ("mktemp", "base64", "gzip")
        ] + [
            # Executables larger than a pipe holds, which the script cannot use.
            ("no gzip, the executables read to their end", {MACHINE: SAYS_WHERE},
             {"missing": ("gzip",), "payload": "A" * 1048576, "read_through": True}, 125, None,
             "hostname_check: this host has no gzip, which the check needs to start\n", False),
            ("no executable for the machine, the executables read to their end", {"nosuch": SAYS_WHERE},
             {"payload": "A" * 1048576, "read_through": True}, 125, None,
             f"hostname_check: no executable for this host's machine, {MACHINE} (there are: nosuch)\n", False),
        ] + [
            ("TMPDIR noexec: /var/tmp", {MACHINE: SAYS_WHERE}, {"noexec": (tmp,)}, 0, "/var/tmp", "", True),
            ("then /dev/shm", {MACHINE: SAYS_WHERE}, {"noexec": (tmp, "/var/tmp")}, 0, "/dev/shm", "", True),
            ("then home", {MACHINE: SAYS_WHERE}, {"noexec": (tmp, "/var/tmp", "/dev/shm")}, 0, home, "", True),
            ("nowhere", {MACHINE: SAYS_WHERE}, {"noexec": (tmp, "/var/tmp", "/dev/shm", home)}, 125, None,
             f"hostname_check: {no_folder}; tried {tmp} /var/tmp /dev/shm {home}\n", True),
            ("nowhere, TMPDIR /var/tmp tried once", {MACHINE: SAYS_WHERE},
             {"tmpdir": "/var/tmp", "noexec": ("/var/tmp", "/dev/shm", home)}, 125, None,
             f"hostname_check: {no_folder}; tried /var/tmp /dev/shm {home}\n", True),
            # busybox's sh runs its own timeout applet, whatever PATH says.
            ("busybox", {MACHINE: SAYS_WHERE}, {"busybox": True}, 0, tmp, "", True),
            (f"busybox, in time, {WATCHDOG_RUNS} times under load", {MACHINE: SAYS_WHERE},
             {"busybox": True, "runs": WATCHDOG_RUNS, "limit": 20}, 0, tmp, "", True),
            ("busybox, out of time below the check", {MACHINE: HANGS_BELOW}, {"limit": 1, "busybox": True}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", True),
            ("busybox, out of time, a process that left the check's tree and ignores TERM",
             {MACHINE: HANGS_AND_LEAVES_IGNORING_TERM}, {"limit": 1, "busybox": True}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", True),
            ("busybox, TERM to the script", {MACHINE: HANGS_BELOW}, {"limit": 30, "busybox": True, "send": signal.SIGTERM},
             129, tmp, "", True),
        ]
        for what, standins, options, status, where, err, needs_root in cases:
            with self.subTest(what):
                if needs_root and not ROOT:
                    continue  # mounts need root
                if options.get("busybox") and not BUSYBOX:
                    self.skipTest("no busybox here: apt-get install busybox-static")
                options = dict(options)
                runs = options.pop("runs", 1)
                limit = options.setdefault("limit", 5)
                self.mark = f"HOSTNAME_CHECK_TEST_MARK={uuid.uuid4()}".encode()
                # (status, seconds, standard error) of the runs that ended otherwise, waited the
                # limit or said more than they should
                self.addCleanup(self.end_marked, self.mark)  # also when the row fails
                wrong = []
                with self.load() if runs > 1 else contextlib.nullcontext(), \
                        concurrent.futures.ThreadPoolExecutor(4 if runs > 1 else 1) as pool:
                    for rc, out, got_err, elapsed in pool.map(lambda _: self.run_script(standins, **options),
                                                              range(runs)):
                        said = err.search(got_err) if isinstance(err, re.Pattern) else got_err == err
                        if rc != status or not said or (status != 124 and elapsed >= limit):
                            wrong.append((rc, round(elapsed, 1), got_err))
                if runs > 1:
                    print(f"\n{what}: {sum(took >= limit for _, took, _ in wrong)} waited the limit, "
                          f"{sum(rc == 124 for rc, _, _ in wrong)} ended 124, {len(wrong)} wrong in all",
                          file=sys.stderr)
                self.assertEqual(wrong, [], "runs that ended otherwise, waited the limit or said more")
                if "send" in options:
                    # At once: a few passes over the host's processes (0.1 s here, 3.6 s to 11 s
                    # for busybox's sh on a busy machine), not a hundred (5 s here, 40 s when busy).
                    self.assertLess(self.after_signal, 20, "the script took its time to end")
                # The machine first, unless a tool the script needs is missing.
                self.assertEqual(out.startswith(machine_line), "this host has no" not in got_err, out)
                ran = [line for line in out.splitlines() if line.startswith("ran in ")]
                if where is None:
                    self.assertEqual(ran, [])
                else:
                    self.assertEqual(len(ran), 1, out)
                    self.assertEqual(os.path.dirname(ran[0][len("ran in "):]), where)
                    self.assertFalse(os.path.exists(ran[0][len("ran in "):]), "the private folder stays")
                self.assert_nothing_left()
                self.assert_no_process_left()

    def test_command_line_and_limits(self):
        command = round_trip.command_line(b"echo hi", 9, ["x86_64", "*", "it's"])
        self.assertIn("$(echo ZWNobyBoaQ== | base64 -d)", command)
        self.assertTrue(command.startswith("/bin/sh -c '"), command)
        self.assertIn("' hostname_check 9 ", command)
        self.assertTrue(command.endswith(" x86_64 '*' 'it'\"'\"'s'"), command)
        self.assertEqual(round_trip.standard_input({"a": "QQ==", "b": "Qg=="}, ["b", "a"]), b"Qg==\nQQ==\n")
        for timeout, limit in ((60, 48), (300, 240), (10, 7), (4, 1), (1, 1), ("10", 7)):
            self.assertEqual(round_trip.host_limit(timeout), limit)
        # 64 KiB of each stream, a number of its own here, so that a changed limit shows.
        self.assertEqual(round_trip.bounded("x" * 70000), "x" * 65536)
        self.assertEqual(round_trip.bounded(None), "")

    def test_windows_steps(self):
        """The Windows steps in the run action, in order, against a stand-in for the modules (no
        Windows host can be reached here): the directory, the processor, the copy of its
        executable, the run in the directory, and the directory removed also when the copy fails."""
        run = action.ActionModule.__new__(action.ActionModule)
        run._templar = mock.Mock()
        run._templar.environment.filters = filters.FilterModule().filters()
        run._connection = mock.Mock()
        run._connection._shell.tmpdir = None
        run._loader = mock.Mock(path_dwim=lambda path: path)
        run._remove_tmp_path = mock.Mock()
        check = "".join(f"{line}\r\n" for line in (
            "The Hostname from command is 'WS01'.", "Hostname from Registry is 'WS01'.",
            "The test results were 'good'.", "Winsock gethostname is 'WS01'."))
        calls = []

        def module(name, args, task_vars=None):
            calls.append((name.rsplit(".", 1)[1], args.get("cmd") or args.get("state")))
            if name.endswith("win_tempfile"):
                return {"path": "C:\\T\\hc", "changed": True}
            if name.endswith("win_command"):
                return {"rc": 0, "stdout": "AMD64\r\n" if "echo" in args["cmd"] else check, "stderr": ""}
            return {"changed": True}

        run._execute_module = module
        steps, machine = run._windows({}, {"AMD64": "/x64.exe", "x86": "/x86.exe"}, "")
        self.assertEqual(calls, [("win_tempfile", "directory"), ("win_command", "cmd.exe /c echo %PROCESSOR_ARCHITECTURE%"),
                                 ("win_command", '"C:\\T\\hc\\hostname_check.exe"'), ("win_file", "absent")])
        run._connection.put_file.assert_called_once_with("/x64.exe", "C:\\T\\hc\\hostname_check.exe")
        record = record_py.hostname_check_record(steps, machine)
        self.assertEqual((record["status"], record["command"], record["arch"]), ("good", "WS01", "AMD64"))
        # One executable for every Windows host wins over the defaults by processor.
        run._connection.put_file.reset_mock()
        run._windows({}, {"AMD64": "/x64.exe", "x86": "/x86.exe"}, "/one.exe")
        run._connection.put_file.assert_called_once_with("/one.exe", "C:\\T\\hc\\hostname_check.exe")
        # A copy that fails, by the system or by Ansible: the folder is still removed.
        for error in (OSError(2, "No such file"), action.AnsibleError("the file /x86.exe was not found")):
            calls.clear()
            run._connection.put_file.side_effect = error
            steps, machine = run._windows({}, {"x86": "/x86.exe"}, "")
            self.assertEqual(calls[-1], ("win_file", "absent"))
            self.assertIn("cannot copy /x86.exe to the host", record_py.hostname_check_record(steps, machine)["message"])
        # No folder made: nothing else is run, and the record says why.
        calls.clear()
        made = module
        run._execute_module = lambda name, args, task_vars=None: (
            {"failed": True, "msg": "Access is denied"} if name.endswith("win_tempfile") else made(name, args, task_vars))
        steps, machine = run._windows({}, {"x86": "/x86.exe"}, "")
        self.assertEqual(calls, [])
        self.assertEqual(record_py.hostname_check_record(steps, machine)["message"], "Access is denied")
        # Ansible's own temporary folder on the host is removed every time.
        self.assertEqual(run._remove_tmp_path.call_count, 5)

    def test_run_action(self):
        """The run action on a Linux host, against a stand-in for the connection (the host's
        answer, or how the connection fails): the record as ASCII JSON, the task failed with the
        unsafe verdict line as fail_on_bad and fail_on_error say (as -e gives them, too), a
        connection that cannot send standard input, a host that cannot be reached, and one that
        never answers, bounded by the task's time; never changed, the alarm put back each time."""
        machine = "hostname_check machine: x86_64\n"

        def says(command, registry, verdict):
            lines = (f"The Hostname from command is '{command}'.", f"Hostname from Registry is '{registry}'.",
                     f"The test results were '{verdict}'.", f"Winsock gethostname is '{command}'.")
            return lambda: {"rc": 0, "stdout": machine + "".join(line + "\n" for line in lines), "stderr": ""}

        def unreachable():
            raise action.AnsibleConnectionFailure("ssh: connect to host h: Connection refused")

        def never_answers():
            time.sleep(10)
            return {"rc": 0, "stdout": "", "stderr": ""}

        def hostile():
            raise action.AnsibleConnectionFailure("ssh: {{ lookup('pipe', 'id') }}\u009b 2J \u202e")

        # As the ssh connection does: a process of its own that never hangs up, and none of it
        # ended when the task's time is up.
        started = []

        def never_hangs_up():
            started.append(subprocess.Popen(["sleep", "227"]))
            time.sleep(10)
            return {"rc": 0, "stdout": "", "stderr": ""}

        bad = says("ws01", "ws99", "bad")

        def full():
            return {"rc": 1, "stdout": machine + "Temp file already exists.\n", "stderr": ""}

        no_stdin = "hostname_check: the connection cannot send the executable on standard input; use ssh (the default) or local"
        # what, the host's answer, the task's arguments, whether the connection sends standard
        # input, the record's status and message, the task's message (None: not failed; for an
        # unreachable host, Ansible's unreachable)
        cases = [
            ("good", says("ws\u00e9", "ws\u00e9", "good"), {}, True, "good", "", None),
            ("bad", bad, {}, True, "bad", "", "bad: command 'ws01', registry 'ws99'"),
            ("bad, fail_on_bad false", bad, {"fail_on_bad": False}, True, "bad", "", None),
            ("bad, fail_on_bad 'false' as -e gives it", bad, {"fail_on_bad": "false"}, True, "bad", "", None),
            ("bad, fail_on_error false", bad, {"fail_on_error": False}, True, "bad", "", "bad: command 'ws01', registry 'ws99'"),
            ("failed", full, {}, True, "failed", "status 1: Temp file already exists.",
             "failed: status 1: Temp file already exists."),
            ("failed, fail_on_error 'no' as -e gives it", full, {"fail_on_error": "no"}, True, "failed",
             "status 1: Temp file already exists.", None),
            ("failed, fail_on_bad false", full, {"fail_on_bad": False}, True, "failed",
             "status 1: Temp file already exists.", "failed: status 1: Temp file already exists."),
            ("unreachable: Ansible's own", unreachable, {}, True, "unreachable", "ssh: connect to host h: Connection refused",
             "unreachable: ssh: connect to host h: Connection refused"),
            # The connection's words are the host's: escaped, unsafe.
            ("unreachable, in template syntax and controls", hostile, {}, True, "unreachable",
             "ssh: {{ lookup('pipe', 'id') }}\u009b 2J \u202e", "unreachable: ssh: {{ lookup('pipe', 'id') }}\\u009b 2J \\u202e"),
            ("unreachable, fail_on_error false: a record like the others", unreachable, {"fail_on_error": False}, True,
             "unreachable", "ssh: connect to host h: Connection refused", None),
            ("a connection without standard input", bad, {}, False, "failed", no_stdin, f"failed: {no_stdin}"),
            # What a host prints is bounded before it is parsed: a machine line of 70,000
            # characters leaves no room for the check's lines (the message is cut, not compared).
            ("huge output", lambda: dict(bad(), stdout="hostname_check machine: " + "x" * 70000 + "\n" + bad()["stdout"].split("\n", 1)[1]),
             {}, True, "failed", None, None),
            ("no payloads", bad, {"payloads": {}}, True, "failed", "hostname_check_run: no payloads",
             "failed: hostname_check_run: no payloads"),
            ("never answers", never_answers, {"timeout": 1}, True, "failed", "timed out after 1 seconds",
             "failed: timed out after 1 seconds"),
            ("never answers, fail_on_error false", never_answers, {"timeout": 1, "fail_on_error": False}, True, "failed",
             "timed out after 1 seconds", None),
            ("never hangs up", never_hangs_up, {"timeout": 1}, True, "failed", "timed out after 1 seconds",
             "failed: timed out after 1 seconds"),
            # Windows: by the host's shell unless hostname_check_windows says.
            ("a PowerShell host: the Windows steps", bad, {"shell": "powershell"}, True, "failed", "the Windows steps",
             "failed: the Windows steps"),
            ("a cmd host: the Windows steps", bad, {"shell": "cmd"}, True, "failed", "the Windows steps",
             "failed: the Windows steps"),
            ("a PowerShell host, windows false: the Linux way", bad, {"shell": "powershell", "windows": False}, True, "bad",
             "", "bad: command 'ws01', registry 'ws99'"),
            ("an sh host, windows 'yes' as -e gives it", bad, {"windows": "yes"}, True, "failed", "the Windows steps",
             "failed: the Windows steps"),
            # The settings are those the settings task checked and converted: the host's own
            # where it has them.
            ("the host's own setting", bad, {"own": {"fail_on_bad": False}}, True, "bad", "", None),
            ("settings never checked", bad, {"unchecked": True}, True, None, None, None),
            ("another host's own setting", bad, {"theirs": {"fail_on_bad": False}}, True, "bad", "",
             "bad: command 'ws01', registry 'ws99'"),
        ]
        templar = mock.Mock()
        sent = []
        for what, answer, args, pipelining, status, message, failure in cases:
            with self.subTest(what):
                args = dict(args)
                connection = mock.Mock(has_pipelining=pipelining)
                connection._shell.tmpdir = None
                connection._shell.SHELL_FAMILY = args.pop("shell", "sh")
                # The task takes no arguments: the settings are those the settings task registered.
                hosts = {"h": args.pop("own")} if "own" in args else {"other": args.pop("theirs")} if "theirs" in args else {}
                task_vars = {"hostname_check_payloads": args.pop("payloads", {"x86_64": "QQ=="}), "inventory_hostname": "h",
                             "hostname_check_checked": {"settings": dict({"timeout": 30}, **args), "hosts": hosts}}
                if args.get("unchecked"):
                    # Run other than as the role runs it: refused, never run with settings unchecked.
                    del task_vars["hostname_check_checked"]
                    with self.assertRaisesRegex(action.AnsibleActionFail, "the role's settings were not checked"):
                        action.ActionModule(mock.Mock(async_val=0, check_mode=False, args={}), connection, mock.Mock(),
                                            mock.Mock(), templar, None).run(task_vars=task_vars)
                    continue
                task = mock.Mock(async_val=0, check_mode=False, args={})
                run = action.ActionModule(task, connection, mock.Mock(), mock.Mock(), templar, None)
                run._find_needle = lambda folder, name: os.path.join(ROLE, folder, name)
                run._windows = lambda task_vars, exes, exe: ([{"failed": True, "msg": "the Windows steps"}], None)

                def execute(command, in_data=None, executable=None, answer=answer):
                    sent.append((command, in_data, executable))
                    return answer()

                run._low_level_execute_command = execute
                handler = signal.getsignal(signal.SIGALRM)
                began = time.monotonic()
                result = run.run(task_vars=task_vars)
                self.assertLess(time.monotonic() - began, 5)
                self.assertEqual(signal.alarm(0), 0, "the alarm is left set")
                self.assertIs(signal.getsignal(signal.SIGALRM), handler)
                while started:
                    process = started.pop()
                    self.addCleanup(process.kill)
                    self.assertIsNotNone(process.poll(), "the connection's process is left")
                self.assertIs(result["changed"], False)
                self.assertTrue(result["record"].isascii(), result["record"])
                got = json.loads(result["record"])
                if message is None:
                    self.assertLess(len(result["record"]), 70000)
                    message, failure = got["message"], f"failed: {got['message']}"
                self.assertEqual((got["status"], got["message"]), (status, message))
                if status == "good":
                    self.assertEqual(got["command"], "ws\u00e9")
                self.assertEqual((result.get("failed", False), result.get("unreachable", False)),
                                 (failure is not None and status != "unreachable", failure is not None and status == "unreachable"))
                self.assertEqual(result.get("msg"), failure)
                if failure is not None:
                    self.assertIsInstance(result["msg"], AnsibleUnsafe)
        # The command goes to the login shell as it is (as raw does): never wrapped in another shell.
        self.assertTrue(all(executable is False and command.startswith("/bin/sh -c '") and data == b"QQ==\n"
                            for command, data, executable in sent), sent[:1])


class ReportWriter(unittest.TestCase):
    """The report's file: its mode from the umask, set on the open file; only a regular file under
    the name replaced (a link, a device, a FIFO, a folder refused, left as they are); refused in a
    folder others may write without the sticky bit (the group, an ACL); made in the report's own
    folder (so on its file system); the new file removed when anything fails; and a failure when,
    after the rename, the name leads to something else."""

    @staticmethod
    def write(path, text="{}\n"):
        report_file_py.write_atomically(path, text)

    def test_writer(self):
        work = tempfile.mkdtemp(prefix="hostname_check_report.")
        self.addCleanup(shutil.rmtree, work)
        secret = os.path.join(work, "secret")
        with open(secret, "w", encoding="ascii") as kept:
            kept.write("secret\n")
        os.chmod(secret, 0o600)
        real_rename = os.rename

        def attacker_swaps(source, target, *, src_dir_fd, dst_dir_fd):
            # Between the write and the rename, the temporary file becomes a link to the secret.
            os.unlink(source, dir_fd=src_dir_fd)
            os.symlink(secret, source, dir_fd=src_dir_fd)
            real_rename(source, target, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)

        def file_size_limit():
            # The write fails for real, as on a full disk: files may not grow past 8 bytes.
            limits = resource.getrlimit(resource.RLIMIT_FSIZE)
            handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (8, limits[1]))
            try:
                yield
            finally:
                resource.setrlimit(resource.RLIMIT_FSIZE, limits)
                signal.signal(signal.SIGXFSZ, handler)

        # A folder on another file system than the test's, where a new file made anywhere but in
        # the report's own folder could not be renamed to it (EXDEV).
        elsewhere = next((folder for folder in ("/dev/shm", "/run", "/var/tmp")
                          if os.path.isdir(folder) and os.stat(folder).st_dev != os.stat(work).st_dev
                          and os.access(folder, os.W_OK)), None)
        acl = shutil.which("setfacl") is not None
        descriptors = sorted(os.listdir("/proc/self/fd"))
        # name, folder mode, umask, what stands under the name, what happens, error (None: written),
        # what the message says, where the folder is
        cases = [
            ("private folder, umask 022", 0o700, 0o022, None, None, None, None, work),
            ("umask 077 keeps it private", 0o700, 0o077, None, None, None, None, work),
            ("a report is replaced", 0o755, 0o022, "file", None, None, None, work),
            ("a link under the name is refused", 0o755, 0o022, "link", None, errno.EPERM, "is a symbolic link", work),
            ("a FIFO under the name is refused", 0o755, 0o022, "fifo", None, errno.EPERM, "is a FIFO", work),
            ("a folder under the name is refused", 0o755, 0o022, "folder", None, errno.EPERM, "is a folder", work),
            ("a device under the name is refused", 0o755, 0o022, "device", None, errno.EPERM, "is a character device", work),
            ("sticky folder everyone may write", 0o1777, 0o022, None, None, None, None, work),
            ("folder everyone may write, no sticky bit", 0o777, 0o022, None, None, errno.EPERM,
             "everyone may write the folder", work),
            ("folder its group may write", 0o770, 0o022, None, None, errno.EPERM, "its group may write the folder", work),
            ("folder where an ACL lets another user write", 0o755, 0o022, None, "acl", errno.EPERM,
             "an ACL lets user nobody write the folder", work),
            ("a folder on another file system", 0o700, 0o022, "file", None, None, None, elsewhere),
            ("the write fails: the new file is removed, the report kept", 0o700, 0o022, "file", "full", errno.EFBIG,
             "File too large", work),
            ("the temporary file swapped for a link", 0o700, 0o022, None, "swap", errno.EEXIST,
             "something else took the report's name", work),
        ]
        for index, (what, mode, mask, standing, happens, error, says, where) in enumerate(cases):
            with self.subTest(what):
                if standing == "device" and os.geteuid() != 0 or where is None or happens == "acl" and not acl:
                    continue  # a device node needs root; another file system, setfacl, this machine
                folder = tempfile.mkdtemp(dir=where)
                self.addCleanup(shutil.rmtree, folder, True)
                os.chmod(folder, mode)
                if what == "folder its group may write" and os.stat(folder).st_gid == 0:
                    os.chown(folder, -1, 65534)  # root's group counts as root
                if happens == "acl" and subprocess.run(["setfacl", "-m", "u:nobody:rwx", folder], check=False).returncode:
                    continue  # a file system without ACLs
                path = os.path.join(folder, "report.json")
                if standing == "link":
                    os.symlink(secret, path)
                elif standing == "fifo":
                    os.mkfifo(path, 0o600)
                elif standing == "folder":
                    os.mkdir(path)
                elif standing == "device":
                    os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
                elif standing == "file":
                    with open(path, "w", encoding="ascii") as old:
                        old.write("the report before\n")
                before = os.lstat(path) if standing else None
                old = os.umask(mask)
                try:
                    with contextlib.ExitStack() as stack:
                        stack.enter_context(mock.patch.object(report_file_py.os, "rename", attacker_swaps if happens == "swap" else real_rename))
                        if happens == "full":
                            stack.enter_context(contextlib.contextmanager(file_size_limit)())
                        if error is None:
                            self.write(path, "{\"report\": 1}\n")
                        else:
                            with self.assertRaises(OSError) as raised:
                                self.write(path, "{\"report\": 1}\n")
                            self.assertEqual(raised.exception.errno, error)
                            self.assertIn(says, raised.exception.strerror)
                finally:
                    os.umask(old)
                with open(secret, encoding="ascii") as kept:
                    self.assertEqual(kept.read(), "secret\n")
                self.assertEqual(os.stat(secret).st_mode & 0o777, 0o600)
                if error is None:
                    self.assertTrue(stat.S_ISREG(os.lstat(path).st_mode))
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o666 & ~mask)
                    with open(path, encoding="ascii") as written:
                        self.assertEqual(written.read(), "{\"report\": 1}\n")
                elif before is not None:
                    # What stood under the name is as it was.
                    now = os.lstat(path)
                    self.assertEqual((now.st_ino, stat.S_IFMT(now.st_mode), now.st_size),
                                     (before.st_ino, stat.S_IFMT(before.st_mode), before.st_size))
                leftovers = [name for name in os.listdir(folder) if name.endswith(".tmp")]
                self.assertEqual(leftovers, [])
        self.assertEqual([name for name in os.listdir(work) if name.endswith(".tmp")], [])
        # A new file's name that is taken (by chance, or by someone who guessed it) is never
        # opened: the next name is tried, and what had the name is left as it was.
        folder = tempfile.mkdtemp(dir=work)
        taken = os.path.join(folder, ".hostname_check_report." + "0" * 16 + ".tmp")
        with open(taken, "w", encoding="ascii") as theirs:
            theirs.write("theirs\n")
        with mock.patch.object(report_file_py.secrets, "token_hex", side_effect=["0" * 16, "1" * 16]):
            self.write(os.path.join(folder, "report.json"), "{\"report\": 1}\n")
        with open(taken, encoding="ascii") as theirs:
            self.assertEqual(theirs.read(), "theirs\n")
        self.assertEqual(sorted(os.listdir(folder)), [os.path.basename(taken), "report.json"])
        # Every descriptor the writes opened (the folders', the new files') is closed, whatever happened.
        self.assertEqual(sorted(os.listdir("/proc/self/fd")), descriptors)

    def test_report_action(self):
        """The report action for a play's hosts, as the run task registered them (a record, or
        Ansible's own result for a host it could not reach): the hosts to fail as fail_on_bad and
        fail_on_error say, by their inventory names; the report written, or not (write false,
        check mode) and said so; a report that cannot be written fails the task; the summary shown
        once."""
        work = tempfile.mkdtemp(prefix="hostname_check_action.")
        self.addCleanup(shutil.rmtree, work)

        def registered(status, command, registry):
            return {"record": json.dumps({"status": status, "command": command, "registry": registry, "sockets": command,
                                          "sockets_error": None, "rc": 0, "message": "", "arch": "x86_64"})}

        hostvars = {"good": {report.RESULT: registered("good", "ws01", "ws01")},
                    "bad": {report.RESULT: registered("bad", "ws02", "ws99")},
                    "gone": {report.RESULT: {"unreachable": True, "msg": "ssh: connect to host gone: Connection refused"}},
                    "odd\udcff": {report.RESULT: registered("good", "ws03", "ws03")}}
        unreachable = "unreachable: ssh: connect to host gone: Connection refused"
        path = os.path.join(work, "report.json")
        # what, the task's arguments, check mode, the hosts to fail, written, the summary's last
        # line, the task's message (None: not failed)
        cases = [
            ("as set by default", {}, False, {"bad", "gone"}, True, f"report: {path}, 4 hosts", None),
            ("fail_on_bad false", {"fail_on_bad": False}, False, {"gone"}, True, f"report: {path}, 4 hosts", None),
            ("fail_on_error 'false' as -e gives it", {"fail_on_error": "false"}, False, {"bad"}, True,
             f"report: {path}, 4 hosts", None),
            ("no report", {"write": False}, False, {"bad", "gone"}, False,
             "report: none written (hostname_check_write_report is false)", None),
            ("check mode", {}, True, {"bad", "gone"}, False, f"report: none written (check mode), {path} is left as it was", None),
            ("a report that cannot be written", {"path": os.path.join(work, "none", "report.json")}, False, {"bad", "gone"},
             False, "unreachable: gone: ssh: connect to host gone: Connection refused",
             f"hostname_check: cannot write the report {work}/none/report.json: the folder {work}/none does not exist"),
        ]
        templar = mock.Mock()
        templar.environment.filters = filters.FilterModule().filters()
        for what, args, check_mode, failing, written, last, failure in cases:
            with self.subTest(what):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)
                task = mock.Mock(async_val=0, check_mode=check_mode,
                                 args=dict({"hosts": list(hostvars), "path": path, "version": "1.0.0"}, **args))
                connection = mock.Mock()
                connection._shell.tmpdir = None
                writer = report.ActionModule(task, connection, mock.Mock(), mock.Mock(), templar, None)
                with mock.patch.object(report, "Display") as display:
                    result = writer.run(task_vars={"hostvars": hostvars})
                self.assertEqual(display.return_value.display.call_args_list, [mock.call("\n".join(result["summary"]))])
                self.assertEqual(result["summary"][0], "hostname_check: 2 good, 1 bad, 0 failed, 1 unreachable")
                self.assertEqual(result["summary"][-1], last)
                self.assertEqual(set(result["failing"]), failing)
                if "gone" in failing:
                    self.assertEqual(result["failing"]["gone"], unreachable)
                self.assertEqual(result.get("failed", False), failure is not None)
                self.assertEqual(result.get("msg"), failure)
                self.assertIs(result["changed"], False)
                self.assertEqual(os.path.exists(path), written)
                self.assertEqual(result["stats"]["report"], None if args.get("write") is False else os.path.abspath(task.args["path"]))
                if written:
                    with open(path, encoding="utf-8") as file:
                        hosts = json.load(file)["hosts"]
                    self.assertEqual({host: record["status"] for host, record in hosts.items()},
                                     {"bad": "bad", "gone": "unreachable", "good": "good", "odd\\xff": "good"})
                    self.assertEqual(hosts["gone"]["message"], "ssh: connect to host gone: Connection refused")
        # A host of a name that is not UTF-8 is failed by its own name.
        hostvars["odd\udcff"] = {report.RESULT: registered("bad", "ws03", "ws04")}
        task = mock.Mock(async_val=0, check_mode=True, args={"hosts": list(hostvars), "path": path, "version": "1.0.0"})
        with mock.patch.object(report, "Display"):
            result = report.ActionModule(task, connection, mock.Mock(), mock.Mock(), templar, None).run(task_vars={"hostvars": hostvars})
        self.assertEqual(set(result["failing"]), {"bad", "gone", "odd\udcff"})

        # Ansible's own hostvars, which template every value not marked unsafe, and results as
        # Ansible registers them, with the host's words unmarked: an unreachable host's message
        # (ssh's standard error) and the traceback of an unexpected failure. Nothing runs; the
        # report keeps the words, the summary escapes them.
        touched = os.path.join(work, "touched")
        lookup = "{{ lookup('pipe', 'touch %s') }}" % touched
        loader = DataLoader()
        inventory = InventoryManager(loader, sources="gone,odd,")
        variables = VariableManager(loader=loader, inventory=inventory)
        variables.set_nonpersistent_facts("gone", {report.RESULT: {"unreachable": True, "msg": f"ssh: {lookup}\u009b 2J"}})
        variables.set_nonpersistent_facts("odd", {report.RESULT: {
            "failed": True, "msg": AnsibleUnsafeText("Unexpected failure during module execution: not a valid boolean"),
            "exception": f"Traceback (most recent call last):\nTypeError: The value '{lookup}' is not a valid boolean"}})
        task = mock.Mock(async_val=0, check_mode=False, args={"hosts": ["gone", "odd"], "path": path, "version": "1.0.0"})
        with mock.patch.object(report, "Display"):
            result = report.ActionModule(task, connection, mock.Mock(), mock.Mock(), templar, None).run(
                task_vars={"hostvars": HostVars(inventory, variables, loader)})
        self.assertFalse(os.path.exists(touched), "a host's words were templated")
        with open(path, encoding="utf-8") as file:
            self.assertEqual(json.load(file)["hosts"]["gone"]["message"], f"ssh: {lookup}\u009b 2J")
        self.assertIn(f"unreachable: gone: ssh: {lookup}\\u009b 2J", result["summary"])

    @unittest.skipUnless(os.geteuid() == 0, "the attacker is another user: needs root")
    def test_folder_swapped(self):
        """Another user owns a folder above the report's and keeps exchanging the report's folder
        with a link to a folder only root may write (renameat2 RENAME_EXCHANGE), while root writes
        the report hundreds of times: every write is refused (the folder is not root's), and even
        with that rule set aside each write lands in the folder that was checked or is refused:
        the root-only file never changes, and no temporary file is left anywhere."""
        work = tempfile.mkdtemp(prefix="hostname_check_swap.")
        self.addCleanup(shutil.rmtree, work)
        os.chmod(work, 0o755)
        private = os.path.join(work, "private")
        os.mkdir(private, 0o700)
        kept = os.path.join(private, "report.json")
        with open(kept, "w", encoding="ascii") as file:
            file.write("keep\n")
        os.chmod(kept, 0o600)
        theirs = os.path.join(work, "alice")
        os.mkdir(theirs)
        os.chown(theirs, 65534, 65534)
        reports, link = os.path.join(theirs, "reports"), os.path.join(theirs, "link")
        os.mkdir(reports)
        os.chown(reports, 65534, 65534)
        os.symlink(private, link)
        os.lchown(link, 65534, 65534)
        libc = ctypes.CDLL(None, use_errno=True)
        attacker = os.fork()
        if attacker == 0:
            try:
                os.setgroups([])
                os.setresgid(65534, 65534, 65534)
                os.setresuid(65534, 65534, 65534)
                while True:
                    libc.renameat2(-100, reports.encode(), -100, link.encode(), 2)  # AT_FDCWD, RENAME_EXCHANGE
            finally:
                os._exit(0)
        real_check = report_file_py._folder_problem
        counts = {}
        try:
            for rule in ("as it is", "owner set aside"):
                written = refused = 0
                with mock.patch.object(report_file_py, "_folder_problem",
                                       real_check if rule == "as it is"
                                       else lambda descriptor, name: None if os.fstat(descriptor).st_uid == 65534
                                       else real_check(descriptor, name)):
                    for _ in range(300):
                        try:
                            self.write(os.path.join(reports, "report.json"), "{\"report\": 1}\n")
                            written += 1
                        except OSError:
                            refused += 1
                counts[rule] = (written, refused)
        finally:
            os.kill(attacker, 9)
            os.waitpid(attacker, 0)
        print(f"folder swapped: {counts}", file=sys.stderr)
        self.assertEqual(counts["as it is"], (0, 300))
        self.assertEqual(sum(counts["owner set aside"]), 300)
        with open(kept, encoding="ascii") as file:
            self.assertEqual(file.read(), "keep\n")
        self.assertEqual(os.stat(kept).st_mode & 0o777, 0o600)
        self.assertEqual(os.listdir(private), ["report.json"])
        for folder, _, names in os.walk(work):
            self.assertEqual([name for name in names if name.endswith(".tmp")], [], folder)

    @unittest.skipUnless(os.geteuid() == 0, "the attacker is another user: needs root")
    def test_attacker_in_the_folder(self):
        """Another user, who owns the report's folder, keeps swapping the writer's temporary
        files for links to a file only root may read, while root writes the report a few hundred
        times: every write is refused (the folder is not root's); with that rule set aside, the
        file still never changes, and a report that was written is never a link."""
        work = tempfile.mkdtemp(prefix="hostname_check_attack.")
        self.addCleanup(shutil.rmtree, work)
        os.chmod(work, 0o755)
        secret = os.path.join(work, "secret")
        with open(secret, "w", encoding="ascii") as kept:
            kept.write("secret\n")
        os.chmod(secret, 0o600)
        folder = os.path.join(work, "theirs")
        os.mkdir(folder)
        os.chown(folder, 65534, 65534)
        path = os.path.join(folder, "report.json")
        attacker = os.fork()
        if attacker == 0:
            try:
                os.setgroups([])
                os.setresgid(65534, 65534, 65534)
                os.setresuid(65534, 65534, 65534)
                while True:
                    for name in os.listdir(folder):
                        if name.endswith(".tmp"):
                            with contextlib.suppress(OSError):
                                os.rename(os.path.join(folder, name), os.path.join(folder, "taken"))
                                os.symlink(secret, os.path.join(folder, name))
            finally:
                os._exit(0)
        real_check = report_file_py._folder_problem
        counts = {}
        try:
            for rule in ("as it is", "owner set aside"):
                written = refused = 0
                with mock.patch.object(report_file_py, "_folder_problem",
                                       real_check if rule == "as it is"
                                       else lambda descriptor, name: None if os.fstat(descriptor).st_uid == 65534
                                       else real_check(descriptor, name)):
                    for _ in range(300):
                        try:
                            self.write(path)
                        except OSError:
                            refused += 1
                            continue
                        written += 1
                        self.assertFalse(os.path.islink(path))
                counts[rule] = (written, refused)
        finally:
            os.kill(attacker, 9)
            os.waitpid(attacker, 0)
        with open(secret, encoding="ascii") as kept:
            self.assertEqual(kept.read(), "secret\n")
        self.assertEqual(os.stat(secret).st_mode & 0o777, 0o600)
        self.assertEqual(counts["as it is"], (0, 300))
        self.assertEqual(sum(counts["owner set aside"]), 300)
        print(f"attacker: {counts}", file=sys.stderr)



# The role's play through the local connection: a stand-in for the check, a small static
# executable that prints the check's lines for the kind of host its environment names. Each host
# is this machine, reached through a "become" program of its own that only sets that kind (for a
# user other than the one that runs the play, or Ansible would not call it).
STANDIN = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
int main(void) {
  const char *kind = getenv("HOSTNAME_CHECK_STANDIN");
  const char *registry = "ws01";
  if (kind == NULL || strcmp(kind, "failed") == 0) {
    puts("Temp file already exists.");
    return 1;
  }
  if (strcmp(kind, "hangs") == 0) {
    sleep(8);
    return 0;
  }
  if (strcmp(kind, "bad") == 0) registry = "ws99";
  printf("The Hostname from command is 'ws01'.\nHostname from Registry is '%s'.\n", registry);
  printf("The test results were '%s'.\nWinsock gethostname is 'ws01'.\n", strcmp(registry, "ws01") ? "bad" : "good");
  return 0;
}
"""
# A play before the role's that takes a host's setting from what the host printed.
FROM_OUTPUT = """- name: Take a setting from a host's output
  hosts: bad
  gather_facts: false
  vars:
    ansible_become: false
  tasks:
    - name: Ask the host
      ansible.builtin.command: cat {said}
      register: said
      changed_when: false
    - name: Take the setting
      ansible.builtin.set_fact:
        hostname_check_fail_on_bad: "{{{{ said.stdout }}}}"
- name: Check every host's names
  ansible.builtin.import_playbook: {playbook}
"""
# The role alone, as a play of one's own uses it.
ROLE_ALONE = """- name: The role alone
  hosts: all
  gather_facts: false
  tasks:
    - name: Check every host's names
      ansible.builtin.import_role:
        name: hostname_check.fleet.hostname_check
        rolespec_validate: false
"""


@unittest.skipUnless(shutil.which("ansible-playbook") and shutil.which("cc") and MACHINE == "x86_64",
                     "needs ansible-playbook, a C compiler and an x86-64 machine")
class Role(unittest.TestCase):
    """The role's tasks, defaults and argument description as a play runs them: a good, a bad, a
    failed host and one whose check hangs, each reached by the local connection (no SSH)."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="hostname_check_role.")
        self.addCleanup(shutil.rmtree, self.work)
        source = os.path.join(self.work, "standin.c")
        with open(source, "w", encoding="ascii") as code:
            code.write(STANDIN)
        self.standin = os.path.join(self.work, "standin")
        subprocess.run(["cc", "-static", "-O", "-o", self.standin, source], check=True, timeout=60)
        hosts = []
        for kind in ("good", "bad", "failed", "hangs"):
            become = os.path.join(self.work, f"as-{kind}")
            with open(become, "w", encoding="ascii") as program:
                # Called as sudo would be: its options, then /bin/sh -c COMMAND.
                program.write(f'#!/bin/sh\nwhile [ "$1" != /bin/sh ]; do shift; done\n'
                              f'HOSTNAME_CHECK_STANDIN={kind} exec "$@"\n')
            os.chmod(become, 0o755)
            extra = ", hostname_check_timeout: 4" if kind == "hangs" else ""
            hosts.append(f"    {kind}: {{ansible_become_exe: {become}{extra}}}\n")
        self.inventory = os.path.join(self.work, "inventory.yml")
        with open(self.inventory, "w", encoding="ascii") as inventory:
            inventory.write("all:\n  vars:\n    ansible_connection: local\n    ansible_become: true\n"
                            "    ansible_become_method: ansible.builtin.sudo\n    ansible_become_user: standin\n  hosts:\n" + "".join(hosts))
        self.report = os.path.join(self.work, "report.json")

    def play(self, playbook, *options, home=None):
        env = dict(os.environ, **({"HOME": home} if home else {}))
        env.update(ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0", ANSIBLE_COLLECTIONS_PATH=os.path.abspath(os.path.join(ANSIBLE, "collections")),
                   ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible"), ANSIBLE_RETRY_FILES_ENABLED="false",
                   ANSIBLE_SHOW_CUSTOM_STATS="true")
        ran = subprocess.run(["ansible-playbook", "-v", "-i", self.inventory, playbook,
                              "-e", f"hostname_check_binary={self.standin}", "-e", f"hostname_check_report={self.report}",
                              *options], capture_output=True, env=env, cwd=self.work, timeout=120, check=False)
        return ran.returncode, ran.stdout.decode("utf-8", "replace") + ran.stderr.decode("utf-8", "replace")

    def test_play(self):
        playbook = PLAYBOOK
        status, console = self.play(playbook)
        self.assertEqual(status, 2, console)
        with open(self.report, encoding="utf-8") as written:
            made = json.load(written)
        hosts = made["hosts"]
        self.assertEqual(made["version"], "1.0.0")
        got = {host: (record["status"], record["registry"], record["message"]) for host, record in hosts.items()}
        self.assertEqual(got, {
            "bad": ("bad", "ws99", ""),
            "failed": ("failed", None, "status 1: Temp file already exists."),
            "good": ("good", "ws01", ""),
            # Its own time-out reaches the host: a fifth (at least 3 s) short of 4 s.
            "hangs": ("failed", None, "status 124: hostname_check: timed out after 1 seconds"),
        }, console)
        recap = dict(re.findall(r"^(\w+) +: .* failed=(\d)", console, re.M))
        self.assertEqual(recap, {"good": "0", "bad": "1", "failed": "1", "hangs": "1", "localhost": "0"}, console)
        # Nothing is changed anywhere: not the hosts, not the controller.
        self.assertEqual(re.findall(r"^\w+ +: ok=\d+ +changed=(\d+)", console, re.M), ["0"] * 5, console)
        # One task a host: each host but the first, which also carries what runs once, has one
        # result line; the executables never reach the console, even with -v.
        for host in ("bad", "failed", "hangs"):
            self.assertEqual(len(re.findall(rf"^\w+: \[{host}\]", console, re.M)), 1, console)
        self.assertNotIn("H4sI", console)
        self.assertEqual(console.count("\nhostname_check: 1 good, 1 bad, 2 failed, 0 unreachable\n"), 1, console)
        self.assertIn(f"\nreport: {self.report}, 4 hosts\n", console)
        # The job's artifacts: the run's alone, never a host's.
        artifacts = re.findall(r"^\t(\S+): (.*)$", console.partition("\nCUSTOM STATS: ")[2], re.M)
        self.assertEqual([name for name, _ in artifacts], ["RUN"], console)
        self.assertEqual(json.loads(artifacts[0][1])["hostname_check"]["summary"],
                         {"good": 1, "bad": 1, "failed": 2, "unreachable": 0}, console)

        # Check mode runs the check and writes no report; the summary says so. Hosts that are bad
        # or could not be checked fail only when told to; the executables may be given by machine.
        os.unlink(self.report)
        status, console = self.play(playbook, "--check", "--limit", "good,bad,failed",
                                    "-e", "hostname_check_fail_on_bad=false", "-e", "hostname_check_fail_on_error=false",
                                    "-e", "hostname_check_binary=",
                                    "-e", json.dumps({"hostname_check_binaries": {MACHINE: self.standin}}))
        self.assertEqual(status, 0, console)
        self.assertFalse(os.path.exists(self.report), console)
        recap = dict(re.findall(r"^(\w+) +: .* failed=(\d)", console, re.M))
        self.assertEqual(recap, {"good": "0", "bad": "0", "failed": "0"}, console)
        self.assertEqual(console.count('"failing": {}'), 1, console)
        self.assertEqual(console.count("\nhostname_check: 1 good, 1 bad, 1 failed, 0 unreachable\n"), 1, console)
        self.assertIn(f"\nreport: none written (check mode), {self.report} is left as it was\n", console)

        # No report when none is wanted.
        status, console = self.play(playbook, "--limit", "good", "-e", "hostname_check_write_report=false")
        self.assertEqual(status, 0, console)
        self.assertFalse(os.path.exists(self.report), console)
        self.assertEqual(console.count("\nreport: none written (hostname_check_write_report is false)\n"), 1, console)

    def test_host_words_never_run(self):
        """What a host or its connection says is never templated on the controller: a host whose
        ssh answers in template syntax and control characters on its standard error and exits 255,
        as ssh does when it cannot connect (a stand-in for ssh), and a per-host setting that an
        earlier play took from a host's output and that is no boolean (refused before any host,
        escaped). The report keeps the words as they are; the console shows them escaped."""
        touched = os.path.join(self.work, "touched")
        words = "{{ lookup('pipe', 'touch %s') }}\u009b 2J \u202e" % touched
        said = os.path.join(self.work, "said")
        with open(said, "w", encoding="utf-8") as text:
            text.write(words + "\n")
        ssh = os.path.join(self.work, "ssh")
        with open(ssh, "w", encoding="ascii") as program:
            program.write(f"#!/bin/sh\ncat {said} >&2\nexit 255\n")
        os.chmod(ssh, 0o755)
        with open(self.inventory, "a", encoding="ascii") as inventory:
            inventory.write(f"    hostile: {{ansible_connection: ssh, ansible_host: 127.0.0.1, ansible_ssh_executable: {ssh}}}\n")
        from_output = os.path.join(self.work, "from_output.yml")
        with open(from_output, "w", encoding="ascii") as playbook:
            playbook.write(FROM_OUTPUT.format(said=said, playbook=PLAYBOOK))
        # what, the playbook, its hosts, the host whose words they are, the report's message for it
        cases = [
            ("a connection that answers in template syntax and controls", PLAYBOOK,
             "good,hostile", "hostile", words),
            ("a per-host setting from a host's output", from_output, "good,bad", "bad", None),
        ]
        for what, playbook, hosts, host, message in cases:
            with self.subTest(what):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(touched)
                status, console = self.play(playbook, "--limit", hosts)
                self.assertFalse(os.path.exists(touched), console)
                if message is not None:
                    with open(self.report, encoding="utf-8") as written:
                        record = json.load(written)["hosts"].get(host, {})
                    self.assertTrue(record, console)
                    self.assertEqual(status, 4, console)
                    self.assertIn(message, record["message"])
                    self.assertEqual(re.findall(r"^\w+ +: .* unreachable=(\d)", console, re.M), ["0", "1"], console)
                    self.assertNotRegex(console, "[\u009b\u202e]")
                    self.assertRegex(console, r"fatal: \[hostile\]: UNREACHABLE! .*\\\\u009b 2J \\\\u202e")
                else:
                    # Refused before any host, the value escaped.
                    refusal = re.search(r"^fatal: .*hostname_check_fail_on_bad must be .*$", console, re.M)
                    self.assertEqual(status, 2, console)
                    self.assertIsNotNone(refusal, console)
                    self.assertIn(f"host {host}: ", refusal.group(0))
                    self.assertNotRegex(refusal.group(0), "[\u009b\u202e]")

    def test_settings_as_used_and_hosts_not_reached(self):
        """What the role uses is what its settings check took: dictionaries given as JSON text
        with -e, ~ in a path, a host's own values (checked too, named by host, before any host is
        contacted); a play of serial batches is refused before any host; and a play whose hosts
        could none be reached still writes its report, each host unreachable with its reason."""
        playbook = PLAYBOOK
        alone = os.path.join(self.work, "alone.yml")
        with open(alone, "w", encoding="ascii") as written:
            written.write(ROLE_ALONE.replace("  gather_facts: false\n", "  gather_facts: false\n  serial: 1\n"))
        inventory = os.path.join(self.work, "hosts.yml")
        with open(inventory, "w", encoding="ascii") as written:
            # Nothing listens at 127.0.0.1:22297 or 22298 (ports of this test's own range); away is
            # the play's first host, the one the role's run-once tasks run for.
            nowhere = "{ansible_connection: ssh, ansible_host: 127.0.0.1, ansible_port: %d, ansible_become: false}\n"
            with open(self.inventory, encoding="ascii") as hosts:
                known = hosts.read()
            written.write(known.replace("  hosts:\n", "  hosts:\n    away: " + nowhere % 22297)
                          + "    gone: " + nowhere % 22298
                          + "    slow: {ansible_connection: local, hostname_check_timeout: abc}\n")
        home = os.path.join(self.work, "home")
        os.mkdir(home, 0o700)
        binaries = json.dumps({MACHINE: self.standin}, separators=(",", ":"))
        # what, playbook, options, status, what the console says once, the report's hosts and
        # statuses (None: no report written)
        rows = [
            ("binaries as JSON text with -e", playbook,
             ["--limit", "good", "-e", "hostname_check_binary=", "-e", f"hostname_check_binaries={binaries}"], 0,
             "hostname_check: 1 good, 0 bad, 0 failed, 0 unreachable", {"good": "good"}),
            ("a report path with ~", playbook, ["--limit", "good", "-e", "hostname_check_report=~/r.json"], 0,
             f"report: {home}/r.json, 1 host", None),
            ("a host's own wrong value", playbook, [], 2,
             "host slow: hostname_check_timeout must be a whole number, not 'abc'", None),
            ("a host's own wrong value, under --limit", playbook, ["--limit", "good,slow"], 2,
             "host slow: hostname_check_timeout must be a whole number, not 'abc'", None),
            # The run's settings are then the first host's, which has its own.
            ("a host's own wrong value, under --limit, first", playbook, ["--limit", "slow"], 2,
             "host slow: hostname_check_timeout must be a whole number, not 'abc'", None),
            ("a host's own value, given with -e", playbook, ["--limit", "slow", "-e", "hostname_check_timeout=soon"], 2,
             "hostname_check: the settings on the controller are wrong; no host was contacted: hostname_check_timeout must "
             "be a whole number, not 'soon'", None),
            ("serial", alone, ["--limit", "good,bad"], 2, "the play runs its hosts in batches (serial)", None),
            ("no host reached", playbook, ["--limit", "gone"], 4, "hostname_check: 0 good, 0 bad, 0 failed, 1 unreachable",
             {"gone": "unreachable"}),
            ("no host reached, and a good one", playbook, ["--limit", "gone,good"], 4,
             "hostname_check: 1 good, 0 bad, 0 failed, 1 unreachable", {"gone": "unreachable", "good": "good"}),
            ("the first host not reached, and a good one", playbook, ["--limit", "away,good"], 4,
             "hostname_check: 1 good, 0 bad, 0 failed, 1 unreachable", {"away": "unreachable", "good": "good"}),
            ("no host reached of two", playbook, ["--limit", "away,gone"], 4,
             "hostname_check: 0 good, 0 bad, 0 failed, 2 unreachable", {"away": "unreachable", "gone": "unreachable"}),
        ]
        for what, ran, options, status, says, hosts in rows:
            with self.subTest(what):
                with open(self.report, "w", encoding="ascii") as stale:
                    stale.write("the last run's\n")
                got, console = self.play(ran, "-i", inventory, *options, home=home)
                self.assertEqual(got, status, console)
                # Once: on a line of its own (the summary), or in the one message that refuses.
                self.assertEqual(len(re.findall(rf"^{re.escape(says)}$", console, re.M)) or console.count(says), 1, console)
                self.assertLessEqual(console.count("FAILED!"), 1, console)
                with open(self.report, encoding="utf-8") as written:
                    text = written.read()
                if hosts is None:
                    if status != 0:
                        self.assertEqual(text, "the last run's\n", console)
                        self.assertNotIn("Run the check", console)
                    if status != 0 and ran == playbook and "--limit" not in options:
                        # The controller's problem, counted as the controller's: no host of the fleet is.
                        self.assertEqual(re.findall(r"^(\w+) +: ok=", console, re.M), ["localhost"], console)
                    continue
                made = json.loads(text)
                self.assertEqual({host: record["status"] for host, record in made["hosts"].items()}, hosts, console)
                # Each host as Ansible counts it: those not reached unreachable, once, with their
                # reason; the others not failed.
                for host, status in hosts.items():
                    counted = re.findall(rf"^{host} +: .*unreachable=(\d+) +failed=(\d+)", console, re.M)
                    self.assertEqual(counted, [("1" if status == "unreachable" else "0", "0")], console)
                    if status == "unreachable":
                        self.assertIn("Connection refused", made["hosts"][host]["message"])
                        self.assertEqual(len(re.findall(rf"^fatal: \[{host}\]: UNREACHABLE!", console, re.M)), 1, console)

    def test_role_alone_refuses_settings(self):
        playbook = os.path.join(self.work, "alone.yml")
        with open(playbook, "w", encoding="ascii") as alone:
            alone.write(ROLE_ALONE)
        # A wrong type, and one that only the settings' check of what a value names finds: one message each, no host run,
        # no report. The playbook checks them in a play of their own, before any host is
        # contacted or counted.
        for setting, says, ran in (("hostname_check_timeout=soon", "hostname_check_timeout must be a whole number, not 'soon'",
                                    playbook),
                                   (f"hostname_check_binary={ROLE}/files/hostname_check_run.sh", "is not a Linux executable",
                                    PLAYBOOK)):
            with self.subTest(setting):
                status, console = self.play(ran, "-e", setting)
                self.assertEqual(status, 2, console)
                self.assertEqual(console.count(says), 1, console)
                self.assertEqual(console.count("FAILED!"), 1, console)
                self.assertNotIn("Run the check", console)
                self.assertFalse(os.path.exists(self.report), console)
                if ran != playbook:
                    self.assertEqual(re.findall(r"^(\w+) +: ok=", console, re.M), ["localhost"], console)


if __name__ == "__main__":
    sys.exit(unittest.main())
