#!/bin/bash
# The playbook against a real fleet on this machine (fleet.sh): six hosts over real SSH, one of each
# outcome. Checks the report, the console summary, the play's status with and without
# hostname_check_fail_on_bad, and that no host keeps a file in /tmp or its home.
#   ansible_fleet_test.sh BINARY WORKDIR
set -euo pipefail
binary=$(realpath "$1")
mkdir -p "$2"
dir=$(realpath "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
fleet=$root/tests/fleet/fleet.sh
trap '"$fleet" stop "$dir"' EXIT
"$fleet" stop "$dir" 2>/dev/null || true
rm -rf "$dir"

# name, port, kernel name, /etc/hostname, whether /tmp is noexec (the check cannot run there)
host() {
  mkdir -p "$dir/hosts/$1"
  echo "$2" >"$dir/hosts/$1/port"
  printf '%s' "$3" >"$dir/hosts/$1/kernel"
  printf '%s' "$4" >"$dir/hosts/$1/etc_hostname"
  [[ ${5:-} != noexec ]] || touch "$dir/hosts/$1/noexec_tmp"
}
host good 42201 ws01 $'ws01\n'
host case 42202 WS02 $'ws02\n'
host unset 42203 ws03 ''
host quote 42204 "it's ws 04 é" $'# the name\nit\'s ws 04 é\n'
host noexec 42205 ws05 $'ws05\n' noexec
echo "gone 42299" >"$dir/unreachable"
"$fleet" start "$dir"

export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_SSH_CONTROL_PATH_DIR=$dir/cp
cd "$root"
play() {
  timeout 120 ansible-playbook -i "$dir/inventory.yml" ansible/hostname_check.yml \
    -e hostname_check_binary="$binary" -e hostname_check_report="$dir/report.json" "$@"
}
failed=0
expect() {
  if [[ $1 == "$2" ]]; then echo "ok: $3"; else
    echo "FAILED: $3: got $1, expected $2"
    failed=1
  fi
}

status=0
play >"$dir/console" 2>&1 || status=$?
expect "$status" 2 "the play fails when a host is not good"
"$fleet" empty "$dir" && left=no || left=yes
expect "$left" no "no host keeps a file in /tmp or its home"

# The report, host by host; messages only by what they must contain.
/usr/bin/python3 - "$dir/report.json" <<'PYTHON' || failed=1
import json, sys
report = json.load(open(sys.argv[1]))
def record(status, command=None, registry=None, sockets=None, rc=0):
    return {"status": status, "command": command, "registry": registry, "sockets": sockets,
            "sockets_error": None, "rc": rc, "message": ""}
expected = {
    "good": record("good", "ws01", "ws01", "ws01"),
    "case": record("bad", "WS02", "ws02", "WS02"),
    "unset": record("bad", "ws03", "", "ws03"),
    "quote": record("good", "it's ws 04 é", "it's ws 04 é", "it's ws 04 é"),
    "noexec": dict(record("failed", rc=126), message="Permission denied"),
    "gone": dict(record("unreachable", rc=None), message="Connection refused"),
}
bad = 0
for name, want in expected.items():
    got = dict(report["hosts"].get(name, {}))
    if want["message"] and want["message"] in got.get("message", ""):
        got["message"] = want["message"]
    if got != want:
        print(f"FAILED: report for {name}: {got}, expected {want}")
        bad = 1
if set(report["hosts"]) != set(expected):
    print(f"FAILED: report hosts {sorted(report['hosts'])}")
    bad = 1
if report["summary"] != {"good": 2, "bad": 2, "failed": 1, "unreachable": 1}:
    print(f"FAILED: summary {report['summary']}")
    bad = 1
print("ok: the report" if not bad else "FAILED: the report")
sys.exit(bad)
PYTHON

# The console: the counts, then one line a host that is not good, in the order of their names.
summary=$(sed -n '/"msg": \[/,/\]/p' "$dir/console" | sed -n 's/^ *"\(.*\)",\{0,1\}$/\1/p')
expected_summary=$(
  cat <<'TEXT'
hostname_check: 2 good, 2 bad, 1 failed, 1 unreachable
bad: case: command 'WS02', registry 'ws02'
unreachable: gone: Failed to connect to the host via ssh: ssh: connect to host 127.0.0.1 port 42299: Connection refused
failed: noexec: status 126: /bin/sh: 7: /tmp/hostname_check.XXXXXX/hostname_check: Permission denied
bad: unset: command 'ws03', registry ''
TEXT
)
summary=$(echo "$summary" | sed 's|/tmp/hostname_check\.[A-Za-z0-9]\{6\}/|/tmp/hostname_check.XXXXXX/|')
expect "$summary" "$expected_summary" "the console summary"

status=0
play -e hostname_check_fail_on_bad=false >"$dir/console" 2>&1 || status=$?
expect "$status" 0 "with hostname_check_fail_on_bad=false the play succeeds"
"$fleet" empty "$dir" && left=no || left=yes
expect "$left" no "still no file left on any host"

[[ $failed -eq 0 ]] || { cat "$dir/console"; exit 1; }
