"""The collection's Python (plugins/plugin_utils/, and the role's filter), one row a case: a host's
record from what the check printed there, the report and its summary, the executables made ready
to travel, and the settings.
    python3 -m unittest tests/fleet/filters_test.py
"""

import base64
import gzip
import importlib.util
import io
import json
import os
import platform
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import unicodedata
import unittest

import yaml
from ansible.module_utils.common.validation import check_type_bool
from ansible.parsing.dataloader import DataLoader
from ansible.playbook.play_context import PlayContext
from ansible.plugins.loader import connection_loader, shell_loader
from ansible.template import Templar
from ansible.utils.unsafe_proxy import AnsibleUnsafe

from tests.fleet.collection import ANSIBLE, COLLECTION, ROLE, plugin

executables_py, record_py, settings_py, shown_py = (plugin(f"plugin_utils.{name}")
                                                   for name in ("executables", "record", "settings", "shown"))
run_py = plugin("action.hostname_check_run")


def project_version(cmakelists):
    """The version in the project() line of CMakeLists.txt, as the packages take it; None when
    there is none."""
    found = re.search(r"\bproject\s*\([^)]*?\bVERSION\s+([0-9][0-9A-Za-z.]*)", cmakelists or "")
    return found.group(1) if found else None


def lines(command, registry, verdict, sockets="Winsock gethostname is 'WS01'.", end="\n"):
    return end.join([f"The Hostname from command is '{command}'.", f"Hostname from Registry is '{registry}'.",
                     f"The test results were '{verdict}'.", sockets]) + end


def run(rc, stdout, stderr="", machine="x86_64"):
    """The result of the Linux run: the script names the machine first."""
    return [{"rc": rc, "stdout": f"hostname_check machine: {machine}\n{stdout}", "stderr": stderr}]


def record(status, command=None, registry=None, sockets=None, rc=0, message="", arch="x86_64", sockets_error=None):
    return {"status": status, "command": command, "registry": registry, "sockets": sockets,
            "sockets_error": sockets_error, "rc": rc, "message": message, "arch": arch}


class Records(unittest.TestCase):
    def test_records(self):
        good = record("good", "WS01", "WS01", "WS01")
        windows = [{"path": "C:\\t\\hostname_check.x"}, {"changed": True}]
        lookup = "{{ lookup('pipe', 'id') }}"
        cases = [
            ("good", run(0, lines("WS01", "WS01", "good")), good),
            ("bad", run(0, lines("WS01", "ws01", "bad")), record("bad", "WS01", "ws01", "WS01")),
            ("no configured name", run(0, lines("WS01", "", "bad")), record("bad", "WS01", "", "WS01")),
            ("apostrophes and blanks", run(0, lines("it's a ' b", "it's a ' b", "good", "Winsock gethostname is ''.")),
             record("good", "it's a ' b", "it's a ' b", "")),
            ("template text is text", run(0, lines(lookup, "{% if %}", "bad")), record("bad", lookup, "{% if %}", "WS01")),
            ("U+2028 is no line end", run(0, lines("ws\u2028x", "ws\u2028x", "good")), record("good", "ws\u2028x", "ws\u2028x", "WS01")),
            ("bytes that are not UTF-8", run(0, lines("ws\udcff", "ws\udcff", "good")), record("good", "ws\ufffd", "ws\ufffd", "WS01")),
            ("Windows, CR LF", windows + [{"rc": 0, "stdout": lines("WS01", "WS01", "good", end="\r\n")}], dict(good, arch=None)),
            ("sockets start-up failed", run(0, lines("WS01", "WS01", "good", "WSA Startup Failed.")),
             record("good", "WS01", "WS01", sockets_error="WSA Startup Failed.")),
            ("sockets name failed", run(0, lines("WS01", "WS01", "good", "WSAGetLastError is '10050'.")),
             record("good", "WS01", "WS01", sockets_error="WSAGetLastError is '10050'.")),
            ("a fourth line that is not the check's", run(0, lines("WS01", "WS01", "good", "Winsock gethostname is 'x'")),
             record("failed", rc=0, message="status 0: The Hostname from command is 'WS01'.: Hostname from Registry is 'WS01'.: "
                    "The test results were 'good'.: Winsock gethostname is 'x'")),
            ("a fifth line", run(0, lines("a", "a", "good") + "more\n"), dict(record("failed", rc=0), message=None)),
            ("a name longer than the check prints", run(0, lines("n" * 100, "n" * 100, "good")), dict(record("failed", rc=0), message=None)),
            ("names of the longest the check prints are whole",
             run(0, lines("n" * 99, "r" * 259, "good", "Winsock gethostname is '" + "s" * 1023 + "'.")),
             record("good", "n" * 99, "r" * 259, "s" * 1023)),
            ("a verdict that is neither", run(0, lines("a", "a", "fine")), dict(record("failed", rc=0), message=None)),
            ("the refusal", run(1, "Temp file already exists.\n"), record("failed", rc=1, message="status 1: Temp file already exists.")),
            ("the failed capture", run(1, "", "Error while opening the file.\n: Permission denied\n"),
             record("failed", rc=1, message="status 1: Error while opening the file.: : Permission denied")),
            ("the script could not start it", run(125, "", "hostname_check: no folder where a program may run; tried /tmp\n"),
             record("failed", rc=125, message="status 125: hostname_check: no folder where a program may run; tried /tmp")),
            ("huge output", run(3, "x" * 70000), dict(record("failed", rc=3), message=None)),
            ("unreachable", [{"unreachable": True, "msg": "ssh: connect to host h: Connection refused\r\n"}],
             record("unreachable", rc=None, arch=None, message="ssh: connect to host h: Connection refused")),
            ("out of time", [{"failed": True, "msg": "The hostname_check_run action failed to execute in the expected time frame (10) and was terminated"}],
             record("failed", rc=None, arch=None, message="timed out after 10 seconds")),
            ("Windows copy failed", windows[:1] + [{"failed": True, "msg": "Cannot copy"}, {"skipped": True}],
             record("failed", rc=None, arch=None, message="Cannot copy")),
            ("nothing ran", [None, {"skipped": True}], record("failed", rc=None, arch=None, message="the check did not run")),
            ("a message of exactly the limit is whole", run(3, "x" * 4086), record("failed", rc=3, message="status 3: " + "x" * 4086)),
            ("a registry name longer than the check keeps", run(0, lines("WS01", "r" * 260, "bad")), dict(record("failed", rc=0), message=None)),
            ("a line that is only its prefix and a quote", run(0, "The Hostname from command is '.\n" + lines("a", "a", "good").split("\n", 1)[1]),
             dict(record("failed", rc=0), message=None)),
            ("status 1 with four good lines", run(1, lines("WS01", "WS01", "good")), dict(record("failed", rc=1), message=None)),
            ("a negative sockets error", run(0, lines("WS01", "WS01", "good", "WSAGetLastError is '-1'.")),
             record("good", "WS01", "WS01", sockets_error="WSAGetLastError is '-1'.")),
            ("rc and failed both", [{"rc": 0, "failed": True, "stdout": "hostname_check machine: x86_64\n" + lines("WS01", "WS01", "good"), "stderr": ""}], good),
            ("an empty machine line", run(0, lines("WS01", "WS01", "good"), machine=""), dict(good, arch=None)),
            ("a machine line of a host's own text is cut to a machine name's length",
             run(0, lines("WS01", "WS01", "good"), machine="m" * 65), dict(good, arch="m" * 64)),
            ("no hostname command on the host", run(0, lines("", "WS01", "bad"), "sh: 1: hostname: not found\n"),
             record("failed", rc=0, message="sh: 1: hostname: not found")),
            ("an empty name without a reason is bad", run(0, lines("", "WS01", "bad")), record("bad", "", "WS01", "WS01")),
            ("blank lines on standard error", run(1, "", "\nError while opening the file.\n\n: Permission denied\n\n"),
             record("failed", rc=1, message="status 1: Error while opening the file.: : Permission denied")),
        ]
        amd64 = {"rc": 0, "stdout": "AMD64\r\n"}
        cases += [
            ("Windows keeps its processor", windows + [{"rc": 0, "stdout": lines("WS01", "WS01", "good", end="\r\n")}],
             dict(good, arch="AMD64"), amd64),
            ("Windows copy failed, processor known", windows[:1] + [{"failed": True, "msg": "Cannot copy"}],
             record("failed", rc=None, arch="AMD64", message="Cannot copy"), amd64),
            ("Windows processor of a host's own text, cut", windows + [{"rc": 0, "stdout": lines("WS01", "WS01", "good", end="\r\n")}],
             dict(good, arch="p" * 64), {"rc": 0, "stdout": "p" * 5000 + "\r\n"}),
            ("Windows processor not found", windows + [{"rc": 0, "stdout": lines("WS01", "WS01", "good", end="\r\n")}],
             dict(good, arch=None), {"rc": 1, "stdout": "AMD64\r\n"}),
        ]
        for what, results, expected, *machine in cases:
            with self.subTest(what):
                got = record_py.hostname_check_record(results, *machine)
                self.assertIsInstance(got["message"], AnsibleUnsafe)
                self.assertLessEqual(len(got["message"]), 4096)
                if expected["message"] is None:
                    expected = dict(expected, message=got["message"])
                    self.assertTrue(got["message"].startswith(f"status {expected['rc']}: "), got["message"])
                self.assertEqual(got, expected)
        cut = record_py.hostname_check_record(run(3, "x" * 70000))["message"]
        self.assertTrue(cut.endswith(record_py.CUT) and len(cut) == 4096)


class Report(unittest.TestCase):
    def test_report_and_summary(self):
        records = {
            "web02": record("bad", "WEB02", "web-02", "WEB02"),
            "ws01": record("good", "ws01", "ws01", "ws01"),
            "twin": record("good", "WS01", "WS01", "WS01"),
            "gone": record("unreachable", rc=None, arch=None, message="Connection refused"),
            "full": record("failed", rc=1, message="status 1: Temp file already exists."),
            "empty": record("bad", "", "", "x"),
            "empty2": record("bad", "", "x", "x"),
            "shown": record("bad", "a\x1b[2Jb\u009b1mc", "d\u202ee\u2028f\u200bg\th\u2029i\U000e0001", "x"),
            # Inventory names are the inventory's text, escaped like a host's: \xff in an INI
            # inventory reaches the role as U+DCFF.
            "bad\udcffname": record("unreachable", rc=None, arch=None, message="Connection refused"),
            "twin\u202e\x9b": record("good", "ws01", "ws01", "ws01"),
        }
        report = record_py.hostname_check_report(records, "2026-12-09T00:00:00Z", "1.0.0")
        self.assertEqual(list(report["hosts"]), sorted(records))
        self.assertEqual(report["summary"], {"good": 3, "bad": 4, "failed": 1, "unreachable": 2})
        self.assertEqual(report["hosts"]["shown"]["command"], "a\x1b[2Jb\u009b1mc")
        self.assertEqual(report["duplicates"], {"ws01": ["twin", "twin\u202e\x9b", "ws01"]})
        self.assertEqual((report["generated"], report["version"]), ("2026-12-09T00:00:00Z", "1.0.0"))
        summary = shown_py.hostname_check_summary(report)
        self.assertEqual(summary, [
            "hostname_check: 3 good, 4 bad, 1 failed, 2 unreachable",
            "unreachable: bad\\xffname: Connection refused",
            "bad: empty: command '', registry ''",
            "bad: empty2: command '', registry 'x'",
            "failed: full: status 1: Temp file already exists.",
            "unreachable: gone: Connection refused",
            "bad: shown: command 'a\\u001b[2Jb\\u009b1mc', registry 'd\\u202ee\\u2028f\\u200bg\\u0009h\\u2029i\\U000e0001'",
            "bad: web02: command 'WEB02', registry 'web-02'",
            "same name: ws01: twin, twin\\u202e\\u009b, ws01",
        ])
        "\n".join(summary).encode("utf-8")  # nothing left that UTF-8 cannot carry
        self.assertEqual(shown_py.hostname_check_verdict(records["ws01"]), "")
        stats = shown_py.hostname_check_stats(report, "/r.json")
        self.assertEqual((stats["summary"], stats["duplicates"], stats["left_out"], stats["report"]),
                         (report["summary"], {"ws01": ["twin", "twin\\u202e\\u009b", "ws01"]}, 0, "/r.json"))
        self.assertEqual(stats["not_good"]["full"], "failed: status 1: Temp file already exists.")
        self.assertEqual(stats["not_good"]["bad\\xffname"], "unreachable: Connection refused")
        self.assertEqual(stats["not_good"]["shown"], summary[6].replace("shown: ", ""))
        self.assertEqual(len(stats["not_good"]), 7)
        json.dumps(stats, ensure_ascii=False).encode("utf-8")  # nor here
        self.assertEqual(shown_py.hostname_check_stats(report, "/r\udcff\x1b.json")["report"], "/r\\xff\\u001b.json")
        # A name as text that UTF-8 can carry, for the JSON report: only what was not UTF-8 escaped.
        self.assertEqual([shown_py.hostname_check_name_text(name) for name in ("bad\udcffname", "\udc80\udc7f", "a\ud800", "a\x1b\u202e")],
                         ["bad\\xffname", "\\x80\\udc7f", "a\\ud800", "a\x1b\u202e"])

    def test_artifacts_bounded(self):
        """The artifacts whatever the fleet: every list capped, every line and name cut, the whole
        at most 256 KiB, and every host left out counted."""

        def check(records):
            stats = shown_py.hostname_check_stats(record_py.hostname_check_report(records, "t", "1.0.0"), "/r.json")
            self.assertTrue(all(isinstance(name, AnsibleUnsafe) for name in list(stats["duplicates"]) + list(stats["not_good"])))
            text = json.dumps(stats)
            self.assertLessEqual(len(text), 262144)
            shown = json.dumps(stats, ensure_ascii=False)
            self.assertFalse([char for char in shown if unicodedata.category(char) in ("Cc", "Cf", "Zl", "Zp", "Cs")])
            for line in list(stats["not_good"].values()) + list(stats["not_good"]) + list(stats["duplicates"]):
                self.assertLessEqual(len(line), 512)
            for hosts in stats["duplicates"].values():
                self.assertLessEqual(len(hosts), 1000)
                self.assertTrue(all(len(host) <= 512 for host in hosts))
            self.assertLessEqual(len(stats["not_good"]), 1000)
            self.assertLessEqual(len(stats["duplicates"]), 1000)
            return stats, len(text)

        # Lines that escaping makes longer than the line's cap, which is hit; the hosts share the
        # name, which is cut as well; not_good takes at most half the room.
        escapes = {f"h{i:04}": record("bad", "\x1b" * 99, "y", "z") for i in range(1200)}
        stats, size = check(escapes)
        self.assertEqual(stats["not_good"]["h0000"], "bad: command '" + "\\u001b" * 82 + " [cut]")
        self.assertEqual(len(stats["not_good"]["h0000"]), 512)
        name = "\\u001b" * 84 + " [cut]"
        self.assertEqual(len(stats["duplicates"][name]), 1000)
        self.assertGreater(len(stats["not_good"]), 150)
        self.assertLessEqual(len(json.dumps(stats["not_good"])), 131072)
        self.assertEqual(stats["left_out"], 1200 - len(stats["not_good"]) + 200)
        # Short lines: the cap on entries, not the size, bounds not_good.
        stats, size = check({f"h{i:04}": record("bad", f"n{i}", "r", "s") for i in range(1200)})
        self.assertEqual((len(stats["not_good"]), stats["left_out"], stats["duplicates"]), (1000, 200, {}))
        self.assertEqual(stats["not_good"]["h0999"], "bad: command 'n999', registry 'r'")
        # Two shared names that look the same once escaped: the second one's hosts are counted.
        stats, size = check({host: record("good", name, "r", "s")
                             for host, name in (("a", "x\x1b"), ("b", "x\x1b"), ("c", "x\\u001b"), ("d", "x\\u001b"))})
        self.assertEqual((stats["duplicates"], stats["left_out"]), ({"x\\u001b": ["a", "b"]}, 2))
        # Shared names beyond the cap: the hosts of the one left out are counted.
        stats, size = check({f"h{i:04}": record("good", f"n{i // 2:04}", "r", "s") for i in range(2002)})
        self.assertEqual((len(stats["duplicates"]), stats["left_out"], stats["not_good"]), (1000, 2, {}))
        # 20,000 hosts sharing a name of a right-to-left override and a C1 control, with names
        # that escaping makes longer than the line's cap: the whole within its bound, filled.
        twins = {f"h{i:05}" + "\u202e" * 100: record("good", "ws\u202e\u009bx", "r", "s") for i in range(20000)}
        stats, size = check(twins)
        listed = stats["duplicates"]["ws\\u202e\\u009bx"]
        self.assertGreater(size, 250000)
        self.assertEqual(listed[0], "h00000" + "\\u202e" * 83 + " [cut]")
        self.assertEqual(stats["left_out"], 20000 - len(listed))
        # Both lists long and two shared names: together still within the bound.
        mixed = {f"h{i:04}" + "\u202e" * 100: record("bad" if i % 4 == 0 else "good", ("ws\u202e", "WS2")[i % 2], "r", "s")
                 for i in range(4000)}
        stats, size = check(mixed)
        self.assertGreater(size, 250000)
        self.assertEqual(sorted(stats["duplicates"]), ["ws2", "ws\\u202e"])
        self.assertEqual(stats["left_out"], 1000 - len(stats["not_good"]) + 4000 - sum(map(len, stats["duplicates"].values())))
        # Lines and names cut at 512 characters exactly; the version and the time escaped too.
        edge = {"whole": record("failed", rc=1, message="y" * 504), "cut": record("failed", rc=1, message="x" * 505)}
        stats = shown_py.hostname_check_stats(record_py.hostname_check_report(edge, "t\x1b", "1\u202e"))
        self.assertEqual(stats["not_good"], {"cut": "failed: " + "x" * 498 + " [cut]", "whole": "failed: " + "y" * 504})
        self.assertEqual((stats["generated"], stats["version"], stats["report"]), ("t\\u001b", "1\\u202e", None))
        # Hosts whose names would take more than the line's cap are cut; two that look the same
        # once cut: the second is counted as left out.
        long_names = {"\u202e" * 100 + f"{i}": record("failed", rc=1, message="m") for i in range(2)}
        stats, size = check(long_names)
        self.assertEqual(list(stats["not_good"]), ["\\u202e" * 84 + " [cut]"])
        self.assertEqual(stats["left_out"], 1)

    def test_project_version(self):
        for text, version in [
            ('project(hostname_check VERSION 1.0.0 DESCRIPTION "x"\n        LANGUAGES CXX)', "1.0.0"),
            ("project(x\n  VERSION 2.1)", "2.1"),
            ("project(x LANGUAGES CXX)", None),
            ("", None),
        ]:
            self.assertEqual(project_version(text), version, text)
        # The role carries its own version, which must be the project's.
        with open(os.path.join(ANSIBLE, "..", "CMakeLists.txt"), encoding="utf-8") as cmakelists:
            project = project_version(cmakelists.read())
        with open(os.path.join(ROLE, "vars", "main.yml"), encoding="utf-8") as role_vars:
            self.assertIn(f'hostname_check_version: "{project}"', role_vars.read())

    def test_awx_lists_the_documented_playbook(self):
        """AWX offers a project's file as a playbook only when a line matches its pattern: the
        playbook the fleet's document gives for AWX must, and must import the collection's."""
        awx = re.compile(r"^\s*?-?\s*?(?:hosts|include|import_playbook):\s*?.*?$", re.M)
        with open(os.path.join(ANSIBLE, "..", "docs", "fleet.md"), encoding="utf-8") as document:
            text = document.read()
        section = text[text.index("## Pinning, AWX and Automation Platform"):]
        documented = re.search(r"```yaml\n(---\n.*?)```", section, re.S).group(1)
        for what, playbook, listed in [
            ("the document's", documented, True),
            ("the full name of the keyword", "---\n- ansible.builtin.import_playbook: hostname_check.fleet.check\n", False),
            ("a play", "- name: x\n  hosts: all\n", True),
        ]:
            self.assertEqual(bool(awx.search(playbook)), listed, what)
        self.assertEqual(yaml.safe_load(documented), [{"import_playbook": "hostname_check.fleet.check"}])

    def test_windows_collection_declared(self):
        """A Windows host is run with another collection's modules: the requirements file for
        Windows hosts names each collection they come from, at a version the installed one meets,
        and each module is there; galaxy.yml declares nothing, so that installing the collection for
        Linux hosts fetches nothing from Galaxy."""
        with open(run_py.__file__, encoding="utf-8") as action:
            called = sorted(set(re.findall(r'"([a-z0-9_]+\.[a-z0-9_]+)\.(win_[a-z_]+)"', action.read())))
        collection = COLLECTION
        with open(os.path.join(collection, "requirements-windows.yml"), encoding="utf-8") as requirements:
            required = {entry["name"]: entry["version"] for entry in yaml.safe_load(requirements)["collections"]}
        with open(os.path.join(collection, "galaxy.yml.in"), encoding="utf-8") as galaxy:
            self.assertEqual(yaml.safe_load(galaxy)["dependencies"], {})
        self.assertEqual(called, [("ansible.windows", "win_command"), ("ansible.windows", "win_file"),
                                  ("ansible.windows", "win_tempfile")])
        for name, module in called:
            self.assertIn(name, required, module)
            found = importlib.util.find_spec(f"ansible_collections.{name}")
            self.assertIsNotNone(found, name)
            folder = list(found.submodule_search_locations)[0]
            self.assertTrue(os.path.isfile(os.path.join(folder, "plugins", "modules", f"{module}.ps1")), module)
            with open(os.path.join(folder, "MANIFEST.json"), encoding="utf-8") as manifest:
                installed = json.load(manifest)["collection_info"]["version"]
            least = re.fullmatch(r">=(\d+)\.(\d+)\.(\d+)", required[name])
            self.assertIsNotNone(least, required[name])
            self.assertGreaterEqual(tuple(map(int, installed.split("."))), tuple(map(int, least.groups())), name)


class Payloads(unittest.TestCase):
    def test_payloads_decode_to_the_files(self):
        with tempfile.TemporaryDirectory() as folder:
            data = {"x86_64": bytes(range(256)) * 300, "aarch64": b""}
            paths = {}
            for machine, content in data.items():
                paths[machine] = os.path.join(folder, machine)
                with open(paths[machine], "wb") as file:
                    file.write(content)
            payloads = executables_py.hostname_check_payloads(paths)
            for machine, content in data.items():
                self.assertEqual(gzip.decompress(base64.b64decode(payloads[machine], validate=True)), content)
            missing = os.path.join(folder, "missing")
            with self.assertRaisesRegex(Exception, f"{missing}: No such file"):
                executables_py.hostname_check_payloads({"x86_64": missing})

    def test_settings(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)

        def made(name, content):
            path = os.path.join(folder, name)
            with open(path, "wb") as file:
                file.write(content)
            return path

        def elf(machine, kind=2, order="little", bits=64, interp=None, dynamic=None):
            """An ELF file's headers: the file header, a PT_LOAD, and a PT_INTERP naming interp
            and a PT_DYNAMIC holding the (tag, value) entries of dynamic when given."""
            word, header, entry = (8, 64, 56) if bits == 64 else (4, 52, 32)
            segments = [(1, b"")]
            if interp is not None:
                segments.append((3, interp + b"\0"))
            if dynamic is not None:
                segments.append((2, b"".join(t.to_bytes(word, order) + v.to_bytes(word, order) for t, v in dynamic + [(0, 0)])))
            table = data = b""
            for kind_of, content in segments:
                offset, size = (header + entry * len(segments) + len(data)).to_bytes(word, order), len(content).to_bytes(word, order)
                if bits == 64:
                    table += kind_of.to_bytes(4, order) + bytes(4) + offset + bytes(16) + size + bytes(16)
                else:
                    table += kind_of.to_bytes(4, order) + offset + bytes(8) + size + bytes(12)
                data += content
            return (b"\x7fELF" + bytes([bits // 32, 1 if order == "little" else 2, 1]) + bytes(9)
                    + kind.to_bytes(2, order) + machine.to_bytes(2, order) + (1).to_bytes(4, order)
                    + bytes(word) + header.to_bytes(word, order) + bytes(word) + bytes(4)
                    + header.to_bytes(2, order) + entry.to_bytes(2, order) + len(segments).to_bytes(2, order) + bytes(6)
                    + table + data)

        def pe(machine):
            return b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0" + machine.to_bytes(2, "little") + bytes(40)

        pie = [(0x6FFFFFFB, 0x08000000)]  # DT_FLAGS_1: DF_1_PIE
        x86_64, aarch64 = made("x86_64", elf(62)), made("aarch64", elf(183))
        text = made("text", b"ws01\n")
        x64, x86 = made("x64.exe", pe(0x8664)), made("x86.exe", pe(0x14C))
        fifo = os.path.join(folder, "fifo")
        os.mkfifo(fifo, 0o600)
        report = os.path.join(folder, "report.json")
        good = {"timeout": 60, "report": report, "binaries": {"x86_64": x86_64, "*": aarch64},
                "binary": "", "exes": {"AMD64": x64, "x86": x86, "ARM64": x86}, "exe": "",
                "fail_on_bad": True, "fail_on_error": "false", "write_report": "yes"}
        self.assertEqual(settings_py.hostname_check_setting_problems(good), [])
        # A Windows default not built is no problem here: only its hosts need it.
        self.assertEqual(settings_py.hostname_check_setting_problems(dict(good, exes={"AMD64": folder + "/none"})), [])
        # Report folders: a team folder (its group may write), a path through a link, a sticky one.
        team, linked, sticky = (os.path.join(folder, name) for name in ("team", "linked", "sticky"))
        os.mkdir(team)
        os.chmod(team, 0o770)
        if os.geteuid() == 0:
            os.chown(team, -1, 65534)  # not root's group, which counts as root
        os.symlink(folder, linked)
        os.mkdir(sticky)
        os.chmod(sticky, 0o1777)
        os.symlink(text, os.path.join(folder, "link.json"))
        # A FIFO is never opened, so never waited on: the check ends at once, or the alarm fails it.
        alarm = signal.signal(signal.SIGALRM, lambda *_: self.fail("a FIFO was waited on"))
        signal.alarm(10)
        self.addCleanup(signal.signal, signal.SIGALRM, alarm)
        self.addCleanup(signal.alarm, 0)
        rows = [
            ({"binaries": {"x86_64": folder + "/none"}}, "hostname_check_binaries[x86_64]: cannot read"),
            ({"binaries": {"x86_64": aarch64}}, "for another machine than x86_64"),
            ({"binaries": {"aarch64": text}}, "is not a Linux executable"),
            ({"binary": text}, "hostname_check_binary: "),
            ({"binary": x86_64, "binaries": {}}, None),
            ({"binary": fifo}, f"hostname_check_binary: {fifo} is a FIFO (named pipe), not a file"),
            ({"binaries": {"x86_64": folder}}, "is a folder, not a file"),
            ({"binary": "/dev/zero"}, "is a character device, not a file"),
            ({"binaries": {"x86_64": made("object.o", elf(62, kind=1))}}, "an object file (ET_REL)"),
            ({"binaries": {"x86_64": made("core", elf(62, kind=4))}}, "a core dump"),
            ({"binaries": {"x86_64": made("libx.so", elf(62, kind=3, dynamic=[(1, 1)]))}}, "is a shared library"),
            ({"binaries": {"x86_64": made("liby.so", elf(62, kind=3, dynamic=[]))}}, "is a shared library"),
            ({"binaries": {"x86_64": made("nodynamic", elf(62, kind=3))}}, "is a shared library"),
            ({"binaries": {"x86_64": made("static-pie", elf(62, kind=3, dynamic=pie))}}, None),
            ({"binaries": {"x86_64": made("pie-needing", elf(62, kind=3, dynamic=pie + [(1, 1)]))}}, "is a shared library"),
            ({"binaries": {"x86_64": made("dynamic", elf(62, interp=b"/lib64/ld-linux-x86-64.so.2"))}},
             "is dynamically linked (it needs the loader /lib64/ld-linux-x86-64.so.2)"),
            ({"binaries": {"x86_64": made("dynamic-pie", elf(62, kind=3, interp=b"/lib/ld", dynamic=pie))}}, "dynamically linked"),
            ({"binaries": {"s390x": made("s390x", elf(22, order="big"))}}, None),
            ({"binaries": {"x86_64": made("s390x-2", elf(22, order="big"))}}, "for another machine than x86_64"),
            ({"binaries": {"s390x": made("x86_64-be", elf(62, order="big"))}}, "for another machine than s390x"),
            ({"binaries": {"s390x": made("s390x-dynamic", elf(22, order="big", interp=b"/lib/ld64.so.1"))}}, "dynamically linked"),
            ({"binaries": {"i686": made("i686", elf(3, bits=32))}}, None),
            ({"binaries": {"i686": made("i686-dynamic", elf(3, bits=32, interp=b"/lib/ld-linux.so.2"))}}, "dynamically linked"),
            ({"binaries": {"x86_64": made("cut", elf(62)[:60])}}, "cut short"),
            ({"binaries": {"x86_64": made("noheaders", elf(62)[:64])}}, "program headers are missing"),
            ({"binaries": {"x86_64": made("far", elf(62)[:32] + ((1 << 64) - 1).to_bytes(8, "little") + elf(62)[40:])}},
             "program headers are missing"),
            ({"exe": text}, "hostname_check_exe: "),
            ({"exe": fifo}, "hostname_check_exe: " + fifo + " is a FIFO"),
            ({"exes": {"AMD64": x86}}, "hostname_check_exes[AMD64]"),
            ({"exes": {"x86": x86_64}}, "is not a Windows executable"),
            ({"exes": {"x86": fifo}}, "is a FIFO"),
            ({"report": folder}, "is a folder"),
            ({"report": "/dev/null"}, "hostname_check_report: /dev/null is a character device; name a regular file"),
            ({"report": fifo}, "is a FIFO"),
            ({"report": os.path.join(folder, "link.json")}, "link.json is a symbolic link"),
            ({"report": os.path.join(linked, "report.json")}, f"{linked} is a symbolic link; name the folder by the path it leads to, {folder}"),
            ({"report": os.path.join(text, "report.json")}, f"{text} is a regular file, not a folder"),
            ({"report": os.path.join(team, "report.json")}, f"its group may write the folder {team} (drwxrwx---"),
            ({"report": os.path.join(sticky, "report.json")}, None),
            ({"report": x86_64}, None),
            ({"report": "/proc/sys/kernel/hostname"}, "the folder /proc/sys/kernel is in the kernel's proc file system"),
            ({"report": "/dev/null", "write_report": "no"}, None),
            ({"report": "", "write_report": False}, None),
            ({"timeout": 0}, "hostname_check_timeout"),
            ({"timeout": "ten"}, "hostname_check_timeout"),
            ({"timeout": "-5"}, "hostname_check_timeout"),
            ({"report": "/nonexistent/report.json"}, "hostname_check_report: the folder /nonexistent does not exist"),
            ({"report": ""}, "hostname_check_report must name a file"),
            ({"report": folder + "/"}, "hostname_check_report must name a file"),
            ({"report": "/tmp/.."}, "hostname_check_report must name a file"),  # which is /: a folder, no file
            ({"binaries": {}}, "hostname_check_binaries"),
            # Refused for its name, whatever the file.
            ({"binaries": {"x86_64; rm -rf /": x86_64}}, "hostname_check_binaries: 'x86_64; rm -rf /' is not a machine name"),
        ]
        if os.geteuid() == 0:
            # Root's group counts as root: a job's folders in AWX's execution environments
            # (an arbitrary user in group 0, folders group 0's and group-writable, set-group-ID).
            awx = os.path.join(folder, "awx")
            os.mkdir(awx)
            os.chown(awx, 1000870000, 0)
            os.chmod(awx, 0o2775)
            rows.append(({"report": os.path.join(awx, "report.json")}, f"the folder {awx} belongs to 1000870000:root"))
            awx_root = os.path.join(folder, "awx_root")
            os.mkdir(awx_root)
            os.chmod(awx_root, 0o2775)
            rows.append(({"report": os.path.join(awx_root, "report.json")}, None))
            # A report in a sticky folder that is someone else's is one the run may not replace.
            os.chown(os.path.join(sticky, "."), 0, 0)
            with open(os.path.join(sticky, "theirs.json"), "w", encoding="ascii") as theirs_report:
                theirs_report.write("{}\n")
            os.chown(os.path.join(sticky, "theirs.json"), 65534, 65534)
            rows.append(({"report": os.path.join(sticky, "theirs.json")}, None))
            theirs = os.path.join(folder, "theirs")
            os.mkdir(theirs)
            os.chown(theirs, 65534, 65534)
            rows.append(({"report": os.path.join(theirs, "report.json")}, f"the folder {theirs} belongs to"))
            rows.append(({"report": os.path.join(folder, "null")}, "is a character device"))
            os.mknod(os.path.join(folder, "null"), 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        acl = os.path.join(folder, "acl")
        os.mkdir(acl)
        if shutil.which("setfacl") and subprocess.run(["setfacl", "-m", "u:nobody:rwx", acl], capture_output=True, check=False).returncode == 0:
            rows.append(({"report": os.path.join(acl, "report.json")}, f"an ACL lets user nobody write the folder {acl} (drwxrwxr-x+)"))
            # The mask bounds every entry but the owner's and others': nobody's rwx is r-x here.
            masked = os.path.join(folder, "masked")
            os.mkdir(masked)
            subprocess.run(["setfacl", "-m", "u:nobody:rwx,m::r-x", masked], check=True)
            rows.append(({"report": os.path.join(masked, "report.json")}, None))
            # The owning group's entry: named as the ACL's, before the mode's group bits. A group
            # of its own: a folder only root's group may write counts as root's.
            grouped = os.path.join(folder, "grouped")
            os.mkdir(grouped)
            if os.geteuid() == 0:
                os.chown(grouped, -1, 65534)
            subprocess.run(["setfacl", "-m", "u:nobody:r-x,g::rwx", grouped], check=True)
            rows.append(({"report": os.path.join(grouped, "report.json")}, f"an ACL lets its group write the folder {grouped}"))
        # Real files where the machine has them: a dynamically linked program, the C library, an
        # object file from the compiler.
        for real, named in (("/bin/ls", "is dynamically linked"), ("/lib/x86_64-linux-gnu/libc.so.6", "is dynamically linked"),
                            ("/lib/x86_64-linux-gnu/libm.so.6", "is a shared library")):
            if os.path.isfile(real) and platform.machine() == "x86_64":
                rows.append(({"binaries": {"x86_64": real}}, named))
        if shutil.which("cc"):
            source = made("empty.c", b"int main(void) { return 0; }\n")
            if subprocess.run(["cc", "-c", source, "-o", source[:-1] + "o"], capture_output=True, check=False).returncode == 0:
                rows.append(({"binaries": {platform.machine(): source[:-1] + "o"}}, "is an object file (ET_REL)"))
        for change, named in rows:
            problems = settings_py.hostname_check_setting_problems(dict(good, **change))
            if named is None:
                self.assertEqual(problems, [], change)
                continue
            self.assertEqual(len(problems), 1, (change, problems))
            self.assertIn(named, problems[0])
        with self.assertRaisesRegex(Exception, "is a FIFO"):
            executables_py.hostname_check_payloads({"x86_64": fifo})
        # What would stop the report from being written is found by trying, as the writer does,
        # and nothing is left in the folder: a folder with no room for the report (of many hosts),
        # and, for a user who may not write it, a folder of root's.
        settings = dict(good, report=os.path.join(sticky, "report.json"))
        problems = settings_py.hostname_check_setting_problems(settings, hosts=1 << 40)
        self.assertEqual(len(problems), 1, problems)
        self.assertRegex(problems[0], rf"^hostname_check_report: the folder {sticky} has no room for the report "
                                      r"\(9007199254745088 bytes\): (No space left on device|File too large)$")
        self.assertEqual(settings_py.hostname_check_setting_problems(settings, hosts=1000), [])
        self.assertEqual(os.listdir(sticky), ["theirs.json"] if os.geteuid() == 0 else [])
        if os.geteuid() == 0:
            os.chmod(folder, 0o755)
            for user, path, says in (
                    (65533, os.path.join(folder, "report.json"), f"cannot make a new file in the folder {folder}: Permission denied"),
                    (65533, os.path.join(sticky, "theirs.json"),
                     f"{sticky}/theirs.json belongs to nobody:nogroup, and the sticky bit of its folder lets no one else replace it: name another file"),
                    # The job's own user in AWX: its folder, group 0's and group-writable, is taken.
                    (1000870000, os.path.join(awx, "report.json"), None)):
                read, write = os.pipe()
                child = os.fork()
                if child == 0:
                    try:
                        os.close(read)
                        os.setgroups([])
                        group = 0 if user == 1000870000 else user
                        os.setresgid(group, group, group)
                        os.setresuid(user, user, user)
                        os.write(write, json.dumps(settings_py.hostname_check_setting_problems(dict(good, report=path))).encode())
                    finally:
                        os._exit(0)
                os.close(write)
                with os.fdopen(read) as answer:
                    problems = json.loads(answer.read() or "null")
                os.waitpid(child, 0)
                self.assertEqual(problems, [f"hostname_check_report: {says}"] if says else [], user)
            self.assertEqual(sorted(os.listdir(sticky)), ["theirs.json"])
            self.assertEqual(os.listdir(awx), [])

    def test_booleans(self):
        """The booleans take exactly what Ansible's type: bool takes (what meta/argument_specs.yml checks),
        fail_on_bad, fail_on_error and write_report alike."""
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        good = {"timeout": 60, "report": os.path.join(folder, "report.json"), "write_report": False, "binary": "/bin/sh",
                "fail_on_bad": True, "fail_on_error": True}
        values = ["y", "n", "t", "f", "Y", "N", "yes", "no", "YES", "on", "off", "On", "1", "0", "true", "false",
                  "True", "FALSE", " yes ", True, False, 1, 0, 1.0, 0.0,
                  "maybe", "", " ", "tru", "yess", "2", "-1", 2, -1, 0.5, None, [], {}, "y\n0"]
        for flag in ("fail_on_bad", "fail_on_error", "write_report"):
            for value in values:
                with self.subTest(flag=flag, value=value):
                    try:
                        check_type_bool(value)
                        taken = True
                    except TypeError:
                        taken = False
                    problems = [problem for problem in settings_py.hostname_check_setting_problems(dict(good, **{flag: value}))
                                if "binary" not in problem]
                    if taken:
                        self.assertEqual(problems, [])
                    else:
                        self.assertEqual(len(problems), 1, problems)
                        self.assertTrue(problems[0].startswith(f"hostname_check_{flag} must be true or false"), problems)
                        self.assertIn(repr(value), problems[0])


    def test_setting_types_and_description(self):
        """Each setting's type as the settings' action reads it from the role's description, with
        Ansible's own conversions (-e gives text); the description, the defaults and the fleet
        document's table name the same settings, and not the role's own version."""
        settings = settings_py
        with open(os.path.join(ROLE, "meta", "argument_specs.yml"), encoding="utf-8") as description:
            options = settings.options_of(description.read())
        for name, value, converted, problem in [
            ("hostname_check_timeout", "10", 10, None),
            ("hostname_check_timeout", 60, 60, None),
            ("hostname_check_timeout", "soon", None, "hostname_check_timeout must be a whole number, not 'soon'"),
            ("hostname_check_timeout", "1.5", None, "hostname_check_timeout must be a whole number, not '1.5'"),
            ("hostname_check_fail_on_bad", "no", False, None),
            ("hostname_check_fail_on_error", "maybe", None, "hostname_check_fail_on_error must be true or false, not 'maybe'"),
            ("hostname_check_binaries", '{"x86_64": "/x"}', {"x86_64": "/x"}, None),
            ("hostname_check_binaries", "nope", None, "hostname_check_binaries must be a dictionary (JSON with -e), not 'nope'"),
            # key=value text with a piece that is no pair: Ansible's conversion raises ValueError.
            ("hostname_check_binaries", "x86_64=/x,aarch64", None,
             "hostname_check_binaries must be a dictionary (JSON with -e), not 'x86_64=/x,aarch64'"),
            ("hostname_check_windows", "false", False, None),
            ("hostname_check_windows", "maybe", None, "hostname_check_windows must be true or false, not 'maybe'"),
            ("hostname_check_write_report", "off", False, None),
            ("hostname_check_write_report", "maybe", None,
             "hostname_check_write_report must be true or false, not 'maybe'"),
            ("hostname_check_exes", '{"x86": "/x.exe"}', {"x86": "/x.exe"}, None),
            ("hostname_check_exes", "nope", None, "hostname_check_exes must be a dictionary (JSON with -e), not 'nope'"),
            ("hostname_check_report", "r.json", "r.json", None),
            # Paths as Ansible's path options take them: ~ and variables expanded.
            ("hostname_check_report", "~/r.json", os.path.expanduser("~/r.json"), None),
            ("hostname_check_binary", "$HOME/x", os.path.expanduser("~/x"), None),
            ("hostname_check_exe", "~/x.exe", os.path.expanduser("~/x.exe"), None),
        ]:
            got, problems = settings.typed(options, {name: value})
            self.assertEqual((got.get(name), problems), (converted, [problem] if problem else []), (name, value))
        with open(os.path.join(ROLE, "defaults", "main.yml"), encoding="utf-8") as defaults:
            defaulted = yaml.safe_load(defaults)
        with open(os.path.join(ANSIBLE, "..", "docs", "fleet.md"), encoding="utf-8") as document:
            table = set(re.findall(r"^\| `(hostname_check_[a-z_]+)` \|", document.read(), re.M))
        # Every setting has a default but hostname_check_windows, which unset means "by the shell".
        self.assertEqual(set(options) - set(defaulted), {"hostname_check_windows"})
        self.assertEqual(set(defaulted) - set(options), set())
        self.assertEqual(table, set(options))
        # What ansible-doc shows as a default is the role's default.
        for name, option in options.items():
            if "default" in option:
                self.assertEqual(option["default"], defaulted[name], name)
        self.assertNotIn("hostname_check_version", options)
        self.assertTrue(all(option.get("type") in settings.TYPES for option in options.values()))

    def test_defaults_as_ansible_templates_them(self):
        """The defaults that are templates, as Ansible makes them for a host: which executables each
        kind of host gets, from the collection's own folder when it has one, else from the source
        tree's build (where the presets lay them out). And which hosts are run as Windows when
        hostname_check_windows is unset: those whose shell, as Ansible's own connection and shell
        plugins make it, is PowerShell or cmd."""
        with open(os.path.join(ROLE, "defaults", "main.yml"), encoding="utf-8") as defaults:
            defaulted = yaml.safe_load(defaults)

        def templated(name, **host):
            return Templar(loader=DataLoader(), variables=dict(defaulted, **host)).template(defaulted[name])

        run = run_py
        for connection, shell, windows in [
            ("ssh", None, False),
            ("local", None, False),
            ("paramiko", None, False),
            ("winrm", None, True),
            ("psrp", None, True),
            ("ssh", "powershell", True),
            ("ssh", "cmd", True),
            ("ssh", "csh", False),
        ]:
            plugin = connection_loader.get(connection, PlayContext(), io.StringIO(),
                                           **({"shell": shell_loader.get(shell)} if shell else {}))
            self.assertIs(run.windows_shell(plugin), windows, (connection, shell))
        # The role in the source tree, from its root.
        source_role = "ansible/collections/ansible_collections/hostname_check/fleet/roles/hostname_check"
        with tempfile.TemporaryDirectory() as collection:
            role = os.path.join(collection, "roles", "hostname_check")
            os.makedirs(os.path.join(role, "files", "executables"))
            for role_path, folder in ((role, f"{role}/files/executables"), (f"/src/{source_role}", f"/src/{source_role}/../../../../../../../build")):
                self.assertEqual(templated("hostname_check_executables", role_path=role_path), folder)
                self.assertEqual(templated("hostname_check_binaries", role_path=role_path),
                                 {"x86_64": f"{folder}/fleet/hostname_check-x86_64",
                                  "aarch64": f"{folder}/fleet/hostname_check-aarch64"})
                # ARM64 Windows runs the x86 executable.
                self.assertEqual(templated("hostname_check_exes", role_path=role_path),
                                 {"AMD64": f"{folder}/windows-x86_64/hostname_check.exe",
                                  "x86": f"{folder}/windows-i686/hostname_check.exe",
                                  "ARM64": f"{folder}/windows-i686/hostname_check.exe"})
                self.assertEqual((templated("hostname_check_binary", role_path=role_path),
                                  templated("hostname_check_exe", role_path=role_path)), ("", ""))


if __name__ == "__main__":
    unittest.main()
