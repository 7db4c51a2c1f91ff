"""The host-side script as it runs on a host, without SSH: the action plugin's own command line
and standard input, fed to this machine's /bin/sh with stand-in executables, one row a case.
Folders a program may not run in are noexec mounts in a private mount namespace (root only); tools
a host lacks are left off PATH; a busybox host is busybox-static mounted over /bin/sh in a private
mount namespace (root only), with a PATH of its applets. Every run carries a mark of its own in its
environment, by which the processes it leaves (none, ever) are told from everyone else's.
    python3 -m unittest tests/fleet/script_test.py
"""

import contextlib
import errno
import importlib.util
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid
from unittest import mock

ROLE = os.path.join(os.path.dirname(__file__), "..", "..", "ansible", "roles", "hostname_check")


def load(name, *path):
    found = importlib.util.spec_from_file_location(name, os.path.join(ROLE, *path))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


filters = load("filters", "filter_plugins", "hostname_check.py")
action = load("action", "action_plugins", "hostname_check_run.py")
report = load("report", "action_plugins", "hostname_check_report.py")
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
# How many times the row that runs the script many times under load runs it; more for a
# measurement (HOSTNAME_CHECK_WATCHDOG_RUNS=1000).
WATCHDOG_RUNS = int(os.environ.get("HOSTNAME_CHECK_WATCHDOG_RUNS", "100"))

# Stand-ins for the check: each says where it ran.
SAYS_WHERE = 'echo "ran in $PWD"'
CRASHES = SAYS_WHERE + "\nkill -SEGV $$"
HANGS = SAYS_WHERE + "\nexec sleep 217"
# One that hangs two processes below it, as the check does in `hostname`, which it runs through
# sh: check, sh, sleep.
HANGS_BELOW = SAYS_WHERE + "\nsh -c '(exec sleep 218); :'\nexit 0"
# A ps that takes no -o, as busybox's was before it learnt it.
PS_WITHOUT_O = '#!/bin/sh\necho "ps: invalid option -- \'o\'" >&2\nexit 1\n'


class Script(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="hostname_check_script.")
        self.addCleanup(shutil.rmtree, self.work)
        for folder in ("tmp", "home", "bin"):
            os.mkdir(os.path.join(self.work, folder))

    def payloads(self, standins):
        files = {}
        for machine, body in standins.items():
            path = os.path.join(self.work, f"standin-{len(files)}")
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

    def marked(self):
        """The processes that carry this test's mark: pid and command line."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if self.mark not in environ.read().split(b"\0"):
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
                   ps_without_o=False, send=None):
        payloads = self.payloads(standins)
        machines = list(payloads)
        command = action.command_line(SCRIPT, limit, machines)
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
        ran = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, cwd=cwd or self.work)
        try:
            if send is None:
                out, err = ran.communicate(action.standard_input(payloads, machines), timeout=60)
            else:
                ran.stdin.write(action.standard_input(payloads, machines))
                ran.stdin.close()
                ran.stdin = None  # written, for communicate
                os.kill(self.script_pid(ran), send)
                out, err = ran.communicate(timeout=60)
        finally:
            if ran.poll() is None:
                ran.kill()
                ran.communicate()
        elapsed = time.monotonic() - started
        if noexec:
            with open(left, encoding="utf-8") as listed:
                self.assertEqual(listed.read(), "", "the run left files in a folder where no program may run")
        return ran.returncode, out.decode(), err.decode(), elapsed

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
            ("a crash", {MACHINE: CRASHES}, {}, 128 + 11, tmp, "", False),
            ("out of time", {MACHINE: HANGS}, {"limit": 1}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time without timeout", {MACHINE: HANGS}, {"limit": 1, "missing": ("timeout",)}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time without timeout, below the check", {MACHINE: HANGS_BELOW}, {"limit": 1, "missing": ("timeout",)},
             124, tmp, "hostname_check: timed out after 1 seconds\n", False),
            ("out of time, below the check", {MACHINE: HANGS_BELOW}, {"limit": 1}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("out of time without timeout, a ps that takes no -o", {MACHINE: HANGS_BELOW},
             {"limit": 1, "missing": ("timeout",), "ps_without_o": True}, 124, tmp,
             "hostname_check: timed out after 1 seconds\n", False),
            ("in time without timeout", {MACHINE: SAYS_WHERE}, {"missing": ("timeout",)}, 0, tmp, "", False),
            # A check that ends at once, again and again with both cores busy: never reported out
            # of time, never waiting out the limit.
            (f"in time without timeout, {WATCHDOG_RUNS} times under load", {MACHINE: SAYS_WHERE},
             {"missing": ("timeout",), "runs": WATCHDOG_RUNS}, 0, tmp, "", False),
            ("a relative TMPDIR", {MACHINE: SAYS_WHERE}, {"tmpdir": "tmp"}, 0, tmp, "", False),
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
            ("TMPDIR noexec: /var/tmp", {MACHINE: SAYS_WHERE}, {"noexec": (tmp,)}, 0, "/var/tmp", "", True),
            ("then /dev/shm", {MACHINE: SAYS_WHERE}, {"noexec": (tmp, "/var/tmp")}, 0, "/dev/shm", "", True),
            ("then home", {MACHINE: SAYS_WHERE}, {"noexec": (tmp, "/var/tmp", "/dev/shm")}, 0, home, "", True),
            ("nowhere", {MACHINE: SAYS_WHERE}, {"noexec": (tmp, "/var/tmp", "/dev/shm", home)}, 125, None,
             f"hostname_check: {no_folder}; tried {tmp} /var/tmp /dev/shm {home}\n", True),
            # busybox's sh runs its own timeout applet, whatever PATH says.
            ("busybox", {MACHINE: SAYS_WHERE}, {"busybox": True}, 0, tmp, "", True),
            ("busybox, out of time below the check", {MACHINE: HANGS_BELOW}, {"limit": 1, "busybox": True}, 124, tmp,
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
                wrong = []  # (status, seconds) of the runs that ended otherwise, or waited the limit
                with self.load() if runs > 1 else contextlib.nullcontext():
                    for _ in range(runs):
                        rc, out, got_err, elapsed = self.run_script(standins, **options)
                        if rc != status or (status != 124 and elapsed >= limit):
                            wrong.append((rc, round(elapsed, 1)))
                if runs > 1:
                    print(f"\n{what}: {sum(took >= limit for _, took in wrong)} waited the limit, "
                          f"{sum(rc == 124 for rc, _ in wrong)} ended 124, {len(wrong)} wrong in all",
                          file=sys.stderr)
                self.assertEqual(wrong, [], f"runs that ended otherwise or waited the limit: {got_err}")
                # The machine first, unless a tool the script needs is missing.
                self.assertEqual(out.startswith(machine_line), "this host has no" not in err, out)
                ran = [line for line in out.splitlines() if line.startswith("ran in ")]
                if where is None:
                    self.assertEqual(ran, [])
                else:
                    self.assertEqual(len(ran), 1, out)
                    self.assertEqual(os.path.dirname(ran[0][len("ran in "):]), where)
                    self.assertFalse(os.path.exists(ran[0][len("ran in "):]), "the private folder stays")
                self.assertTrue(got_err.endswith(err), got_err)
                self.assert_nothing_left()
                self.assert_no_process_left()

    def test_command_line_and_limits(self):
        command = action.command_line(b"echo hi", 9, ["x86_64", "*", "it's"])
        self.assertIn("$(echo ZWNobyBoaQ== | base64 -d)", command)
        self.assertTrue(command.startswith("/bin/sh -c '"), command)
        self.assertIn("' hostname_check 9 ", command)
        self.assertTrue(command.endswith(" x86_64 '*' 'it'\"'\"'s'"), command)
        self.assertEqual(action.standard_input({"a": "QQ==", "b": "Qg=="}, ["b", "a"]), b"Qg==\nQQ==\n")
        for timeout, limit in ((60, 48), (300, 240), (10, 7), (4, 1), (1, 1), ("10", 7)):
            self.assertEqual(action.host_limit(timeout), limit)
        # 64 KiB of each stream, a number of its own here, so that a changed limit shows.
        self.assertEqual(action.bounded("x" * 70000), "x" * 65536)
        self.assertEqual(action.bounded(None), "")


class ReportWriter(unittest.TestCase):
    """The report's file: its mode from the umask, set on the open file; what stood under the name
    replaced, never written through; refused in a folder others may write without the sticky bit;
    and a failure when, after the rename, the name leads to something else."""

    def test_writer(self):
        work = tempfile.mkdtemp(prefix="hostname_check_report.")
        self.addCleanup(shutil.rmtree, work)
        secret = os.path.join(work, "secret")
        with open(secret, "w", encoding="ascii") as kept:
            kept.write("secret\n")
        os.chmod(secret, 0o600)
        real_replace = os.replace

        def attacker_swaps(source, target):
            # Between the write and the rename, the temporary file becomes a link to the secret.
            os.unlink(source)
            os.symlink(secret, source)
            real_replace(source, target)

        # name, folder mode, umask, what stands under the name, attacker, error (None: written)
        cases = [
            ("private folder, umask 022", 0o700, 0o022, None, False, None),
            ("umask 077 keeps it private", 0o700, 0o077, None, False, None),
            ("a link under the name is replaced", 0o755, 0o022, "link", False, None),
            ("sticky folder everyone may write", 0o1777, 0o022, None, False, None),
            ("folder everyone may write, no sticky bit", 0o777, 0o022, None, False, errno.EPERM),
            ("the temporary file swapped for a link", 0o700, 0o022, None, True, errno.EEXIST),
        ]
        for index, (what, mode, mask, standing, attacker, error) in enumerate(cases):
            with self.subTest(what):
                folder = os.path.join(work, f"folder{index}")
                os.mkdir(folder)
                os.chmod(folder, mode)
                path = os.path.join(folder, "report.json")
                if standing == "link":
                    os.symlink(secret, path)
                old = os.umask(mask)
                try:
                    with mock.patch.object(report.os, "replace", attacker_swaps if attacker else real_replace):
                        if error is None:
                            report.write_atomically(path, "{}\n")
                        else:
                            with self.assertRaises(OSError) as raised:
                                report.write_atomically(path, "{}\n")
                            self.assertEqual(raised.exception.errno, error)
                finally:
                    os.umask(old)
                with open(secret, encoding="ascii") as kept:
                    self.assertEqual(kept.read(), "secret\n")
                self.assertEqual(os.stat(secret).st_mode & 0o777, 0o600)
                if error is None:
                    self.assertFalse(os.path.islink(path))
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o666 & ~mask)
                    with open(path, encoding="ascii") as written:
                        self.assertEqual(written.read(), "{}\n")
                leftovers = [name for name in os.listdir(folder) if name.endswith(".tmp")]
                self.assertEqual(leftovers, [])


    @unittest.skipUnless(os.geteuid() == 0, "the attacker is another user: needs root")
    def test_attacker_in_the_folder(self):
        """Another user, who owns the report's folder, keeps swapping the writer's temporary
        files for links to a file only root may read, while root writes the report a few hundred
        times: the file never changes, and a report that was written is never a link."""
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
        try:
            written = refused = 0
            for _ in range(300):
                try:
                    report.write_atomically(path, "{}\n")
                except OSError:
                    refused += 1
                    continue
                written += 1
                self.assertFalse(os.path.islink(path))
        finally:
            os.kill(attacker, 9)
            os.waitpid(attacker, 0)
        with open(secret, encoding="ascii") as kept:
            self.assertEqual(kept.read(), "secret\n")
        self.assertEqual(os.stat(secret).st_mode & 0o777, 0o600)
        self.assertEqual(written + refused, 300)
        print(f"attacker: {written} written, {refused} refused", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(unittest.main())
