"""The Windows runs' environment as CTest lists it for the build folder given (its only argument).

Every wine.Windows64.* and wine.Windows32.* test must carry its Wine session's whole environment,
the same as the session's own start: a run that lost a setting would fall back on another loader
or prefix, which only shows where the 32-bit runs can start. So this is read from CTest's own
listing, on any machine.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

# What each build's runs need from their session: its loader, server, prefix and debug setting, and
# for the 32-bit build (which may run in an i386 root) the prefix's kind.
NEEDED = {
    "64": ("WINE", "WINEPREFIX", "WINEDEBUG", "WINESERVER"),
    "32": ("WINE", "WINEPREFIX", "WINEDEBUG", "WINESERVER", "WINEARCH"),
}


def environment(test):
    for prop in test.get("properties", []):
        if prop["name"] == "ENVIRONMENT":
            return sorted(prop["value"])
    return []


def listing(build):
    """CTest's listing of the build's tests, read from a copy of its test files: ctest writes its
    log under the folder it reads (Testing/Temporary/LastTest.log), and the build's own is the
    running suite's, which tools/test.sh reads for the reasons of skipped runs."""
    with tempfile.TemporaryDirectory() as copy:
        for folder, _, files in os.walk(build):
            if "CTestTestfile.cmake" in files:
                target = os.path.join(copy, os.path.relpath(folder, build))
                os.makedirs(target, exist_ok=True)
                shutil.copy(os.path.join(folder, "CTestTestfile.cmake"), target)
        return json.loads(subprocess.run(["ctest", "--test-dir", copy, "--show-only=json-v1"],
                                         check=True, capture_output=True, text=True).stdout)


def main(build):
    tests = {test["name"]: test for test in listing(build)["tests"]}
    faults = []
    for bits, needed in NEEDED.items():
        session = environment(tests.get(f"wine{bits}_session_start", {}))
        names = [setting.split("=", 1)[0] for setting in session]
        faults += [f"wine{bits}_session_start: {name} is not set" for name in needed
                   if name not in names]
        runs = [name for name in tests if name.startswith(f"wine.Windows{bits}.")]
        if not runs:
            faults.append(f"no wine.Windows{bits}.* test is listed")
        faults += [f"{run}: environment {environment(tests[run])}, not its session's {session}"
                   for run in runs if environment(tests[run]) != session]
        print(f"wine.Windows{bits}: {len(runs)} tests, each with {', '.join(names)}")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
