#!/bin/bash
# The playbook against a real fleet on this machine (fleet.sh), one host a case, over real SSH:
# hosts that agree or not, a Debian 11 host (glibc 2.31), an aarch64 host (qemu-user, busybox), an
# x86-64 busybox host whose check hangs,
# CIS-hardened temporary folders, a csh login shell, a host that never answers, names that are
# template syntax or odd text, a failing sockets library, two clones, a host that is gone, one whose
# sshd answers in template syntax and control characters, one whose hostname ignores TERM. Checks
# the report, the console, the recap and the play's status in Ansible's own terms (unreachable
# hosts counted so, status 4; one task a host; the summary once, as no host's result; at most 3
# lines a good host), with --limit and --check (no report) and each setting (refused before any
# host is contacted, in one message); that no host keeps a file and no host's text runs on the
# controller; that no process of a run is left on a host or the controller; and that the
# controller needs neither gzip nor base64.
# The playbook is the collection's, installed from its tarball as an administrator installs it and
# run by its name from an unrelated folder; once, the checkout's own.
#   ansible_fleet_test.sh X86_64_BINARY AARCH64_BINARY WORKDIR COLLECTION_TARBALL
# The x86-64 executable is the one whose sockets layer fails on request (HOSTNAME_CHECK_FAKE_SOCKETS).
set -euo pipefail
x86_64=$(realpath "$1")
aarch64=$(realpath "$2")
mkdir -p "$3"
dir=$(realpath "$3")
tarball=$(realpath "$4")
root=$(cd "$(dirname "$0")/../.." && pwd)
fleet=$root/tests/fleet/fleet.sh
trap '"$fleet" stop "$dir"' EXIT
"$fleet" stop "$dir" 2>/dev/null || true
rm -rf "$dir"

# Roots for the hosts that are not this machine's Debian, kept beside the fleet between runs: a
# Debian 11 minbase, and busybox for aarch64 and for x86-64 (its applets, no timeout among them:
# busybox's sh runs its own applet anyway; and a /proc, as such a host has).
roots=$dir.roots
mkdir -p "$roots"
if [[ ! -f $roots/bullseye/.complete ]]; then
  rm -rf "$roots/bullseye"
  debootstrap --variant=minbase bullseye "$roots/bullseye" http://deb.debian.org/debian >"$roots/bullseye.log" 2>&1 ||
    { tail -n 20 "$roots/bullseye.log"; exit 1; }
  touch "$roots/bullseye/etc/hostname" "$roots/bullseye/.complete"
fi
for arch in arm64 amd64; do
  [[ ! -f $roots/$arch/.complete ]] || continue
  rm -rf "${roots:?}/$arch" "$roots"/busybox-static_*_"$arch".deb
  (cd "$roots" && apt-get download -q "busybox-static:$arch" >/dev/null 2>&1)
  dpkg-deb -x "$roots"/busybox-static_*_"$arch".deb "$roots/$arch"
  mkdir -p "$roots/$arch"/{etc,dev,proc,tmp,var/tmp,root}
  touch "$roots/$arch/etc/hostname"
  applets="sh uname sed mktemp base64 gzip cat rm chmod printf sleep"
  [[ $arch == amd64 ]] || applets+=" timeout"
  for applet in $applets; do ln -sf busybox "$roots/$arch/bin/$applet"; done
  touch "$roots/$arch/.complete"
done
chmod 755 "$roots" "$roots/bullseye" "$roots/arm64" "$roots/amd64"

# host NAME PORT KERNEL_NAME ETC_HOSTNAME [OPTION=VALUE...], the options as fleet.sh takes them.
host() {
  local name=$1 option
  mkdir -p "$dir/hosts/$name"
  echo "$2" >"$dir/hosts/$name/port"
  printf '%s' "$3" >"$dir/hosts/$name/kernel"
  printf '%s' "$4" >"$dir/hosts/$name/etc_hostname"
  shift 4
  for option in "$@"; do printf '%s' "${option#*=}" >"$dir/hosts/$name/${option%%=*}"; done
}
pwned=$dir/pwned
# The processes of this fleet (the fleet's mark in their environment, which every session's
# commands carry) in the namespaces given: pid and command line, one a line.
# (One find for every process's namespace: a fork for each would take minutes on a busy machine.)
left_on() {
  local process ns id
  id=$(cat "$dir/fleet_id")
  while read -r process ns; do
    [[ " $* " == *" $ns "* ]] || continue
    tr '\0' '\n' 2>/dev/null <"$process/environ" | grep -qxF "HOSTNAME_CHECK_FLEET=$id" || continue
    echo "${process#/proc/} $(tr '\0' ' ' 2>/dev/null <"$process/cmdline")"
  done < <(find /proc -mindepth 3 -maxdepth 3 -path '/proc/[0-9]*/ns/uts' -printf '%h %l\n' 2>/dev/null |
    sed 's|/ns | |')
}
# The hosts listen on 127.0.0.1 at PORTS+1 to PORTS+99 (22200 unless HOSTNAME_CHECK_FLEET_PORTS
# says otherwise, so that two checkouts can run the test at once), below the ephemeral range.
ports=${HOSTNAME_CHECK_FLEET_PORTS:-22200}
[[ $ports =~ ^[0-9]+$ ]] && ((ports >= 1024 && ports + 99 < 32768)) ||
  { echo "HOSTNAME_CHECK_FLEET_PORTS must be from 1024 to 32668" >&2; exit 2; }
host good $((ports + 1)) ws01 $'ws01\n'
host twin $((ports + 2)) WS01 $'WS01\n'
host case $((ports + 3)) WS02 $'ws02\n'
host unset $((ports + 4)) ws03 ''
host quote $((ports + 5)) "it's ws 04 é" $'# the name\nit\'s ws 04 é\n'
host noexec $((ports + 6)) ws05 $'ws05\n' noexec="/tmp /var/tmp /dev/shm"
host sealed $((ports + 7)) ws06 $'ws06\n' noexec="/tmp /var/tmp /dev/shm /root"
host tcsh $((ports + 8)) ws07 $'ws07\n' shell=/usr/bin/tcsh
host sockets $((ports + 9)) ws08 $'ws08\n' setenv=HOSTNAME_CHECK_FAKE_SOCKETS=name
host lookup $((ports + 10)) ws09 "{{ lookup('pipe', 'touch $pwned') }}"
host brace $((ports + 11)) '{% if true %}' '{{ "'
host odd $((ports + 12)) $'ws\u2028\xff' $'ws\u2028\xff\n'
host stuck $((ports + 13)) ws13 $'ws13\n' force_command="sleep 600"
host slow $((ports + 16)) ws16 $'ws16\n' hostname=$'#!/bin/sh\nexec sleep 601\n'
host bullseye $((ports + 14)) ws14 $'ws14\n' root="$roots/bullseye"
host arm $((ports + 15)) ws15 $'ws15\n' root="$roots/arm64" shell=/bin/sh aarch64=yes
# A host whose sshd answers in template syntax and control characters on standard error and exits
# 255, as ssh does when it cannot connect: unreachable, in its own words, escaped on the console.
host hostile $((ports + 21)) ws21 $'ws21\n' force_command="/bin/sh /mnt/hosts/hostile/answer"
printf "{{ lookup('pipe', 'touch %s') }}\302\233 2J \342\200\256\n" "$pwned" >"$dir/hosts/hostile/words"
printf 'cat /mnt/hosts/hostile/words >&2\nexit 255\n' >"$dir/hosts/hostile/answer"
# A check whose hostname command ignores TERM (and so does the sleep it becomes).
host ignoring $((ports + 22)) ws22 $'ws22\n' hostname=$'#!/bin/sh\ntrap "" TERM\nexec sleep 604\n'
# busybox's sh, its applets, and a sockets library that hangs in a process of its own (sleep 603).
host busybox $((ports + 20)) ws20 $'ws20\n' root="$roots/amd64" shell=/bin/sh proc=yes \
  setenv=HOSTNAME_CHECK_FAKE_SOCKETS=hang
# Hosts as they really are: one without a hostname command, one without timeout (whose check
# hangs), one whose TMPDIR is relative. PATH comes from a folder of links to the tools such a host
# has, which it sees at /mnt/hosts/NAME/bin.
toolbox() {
  local name=$1 tool
  shift
  mkdir -p "$dir/hosts/$name/bin"
  for tool in "$@"; do ln -sf "$(command -v "$tool")" "$dir/hosts/$name/bin/$tool"; done
}
host nohostname $((ports + 17)) ws17 $'ws17\n' setenv=PATH=/mnt/hosts/nohostname/bin
toolbox nohostname sh uname sed mktemp base64 gzip cat rm chmod timeout sleep
host notimeout $((ports + 18)) ws18 $'ws18\n' setenv=PATH=/mnt/hosts/notimeout/bin hostname=$'#!/bin/sh\nexec sleep 602\n'
toolbox notimeout sh uname sed mktemp base64 gzip cat rm chmod sleep hostname ps
host reltmp $((ports + 19)) ws19 $'ws19\n' setenv=TMPDIR=.
# Nothing listens for gone, and its ssh hangs up its standard input at once, as a refused ssh that
# ends quickly does: Ansible's sending the executables may then fail before ssh has said why, as it
# does on a busy controller. Either way the reason on the console and in the report is ssh's own.
printf '#!/bin/sh\nexec 0<&-\nsleep 0.3\nexec ssh "$@"\n' >"$dir/ssh_hangs_up"
chmod 755 "$dir/ssh_hangs_up"
echo "gone $((ports + 99)) ansible_ssh_executable: $dir/ssh_hangs_up" >"$dir/unreachable"
"$fleet" start "$dir"

# The controller's gzip and base64 fail whenever they are called: nothing on the controller's side
# may need them.
mkdir -p "$dir/failing"
for tool in gzip base64; do printf '#!/bin/sh\necho "%s called" >&2\nexit 1\n' "$tool" >"$dir/failing/$tool"; done
chmod 755 "$dir/failing"/*
export PATH=$dir/failing:$PATH
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_SSH_CONTROL_PATH_DIR=$dir/cp
# The collection, installed where nothing else is.
ansible-galaxy collection install "$tarball" -p "$dir/collections" >"$dir/install.log" 2>&1 ||
  { cat "$dir/install.log"; exit 1; }
export ANSIBLE_COLLECTIONS_PATH=$dir/collections
binaries="{\"x86_64\": \"$x86_64\", \"aarch64\": \"$aarch64\"}"
# From another folder than the project's: the defaults are the playbook's.
mkdir -p "$dir/elsewhere"
cd "$dir/elsewhere"
# With mounts set (shell commands), the play runs in a mount namespace of its own, after them.
play() {
  local run=(timeout 300)
  [[ -z ${mounts:-} ]] || run+=(unshare --mount --propagation private /bin/sh -c "$mounts"' && exec "$@"' sh)
  "${run[@]}" ansible-playbook -i "$dir/inventory.yml" hostname_check.fleet.check \
    -e "{\"hostname_check_binaries\": $binaries}" -e hostname_check_report="$dir/report.json" \
    -e hostname_check_timeout=10 "$@" >"$dir/console" 2>&1
}
failed=0
expect() {
  if [[ $1 == "$2" ]]; then echo "ok: $3"; else
    echo "FAILED: $3: got $1, expected $2"
    failed=1
  fi
}
# The report, checked by a Python expression over `report`; every host's record is checked in full
# once, by the first run.
report() {
  /usr/bin/python3 - "$dir/report.json" "$1" <<'PYTHON' && echo "ok: $2" || { echo "FAILED: $2"; failed=1; }
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"), strict=True)
if not eval(sys.argv[2]):
    print(json.dumps(report, indent=2, ensure_ascii=False)[:3000])
    sys.exit(1)
PYTHON
}
# The recap's failed and unreachable counts of a host, as "failed,unreachable".
recap() {
  sed -n "s/^$1 *: .*unreachable=\([0-9]*\) *failed=\([0-9]*\).*/\2,\1/p" "$dir/console"
}

# The report goes into a folder everyone may write, with the sticky bit.
mkdir -p "$dir/shared"
chmod 1777 "$dir/shared"

status=0
play -e hostname_check_report="$dir/shared/report.json" || status=$?
cp "$dir/shared/report.json" "$dir/report.json"
cp "$dir/console" "$dir/console.first"
expect "$status" 4 "the play fails when a host is not good, with Ansible's status for an unreachable host"
expect "$(stat -c %U,%F "$dir/shared/report.json")" "root,regular file" "the report is written in a sticky folder"
expect "$([[ -e $pwned ]] && echo yes || echo no)" no "nothing a host printed ran on the controller"
"$fleet" empty "$dir" && left=no || left=yes
expect "$left" no "no host keeps a file in its temporary folders or home"
for name in slow notimeout busybox ignoring; do
  expect "$(left_on "$(cat "$dir/hosts/$name/ns")")" "" "a check that runs out of time is stopped, all of it, on $name"
done
others=()
for host in "$dir"/hosts/*/; do [[ ${host%/} == */stuck ]] || others+=("$(cat "$host/ns")"); done
expect "$(left_on "${others[@]}")" "" "no process is left on any host but the one whose sessions never end"
# On the controller: no ssh of the run is left (the stuck host's, when the task's time was up);
# the master connections in DIR/cp, named "ssh: PATH [mux]", stay for the next run.
printf 'ControlPath="%s/cp/\n' "$dir" >"$dir/controlpath"
expect "$(grep -lFf "$dir/controlpath" /proc/[0-9]*/cmdline 2>/dev/null || true)" "" \
  "no ssh of the run is left on the controller"
expect "$(LC_ALL=C grep -c -e "$(printf '\302\233')" -e "$(printf '\342\200\256')" "$dir/console" || true)" 0 \
  "no control or bidirectional character a host sent reaches the console as it is"

/usr/bin/python3 - "$dir/report.json" "$pwned" <<'PYTHON' || failed=1
import json, re, sys
raw = open(sys.argv[1], "rb").read()
report = json.loads(raw.decode("utf-8"), strict=True)
def record(status, command=None, registry=None, sockets=None, rc=0, arch="x86_64", sockets_error=None):
    return {"status": status, "command": command, "registry": registry, "sockets": sockets,
            "sockets_error": sockets_error, "rc": rc, "message": "", "arch": arch}
odd = "ws\u2028\ufffd"
lookup = "{{ lookup('pipe', 'touch %s') }}" % sys.argv[2]
expected = {
    "good": record("good", "ws01", "ws01", "ws01"),
    "twin": record("good", "WS01", "WS01", "WS01"),
    "case": record("bad", "WS02", "ws02", "WS02"),
    "unset": record("bad", "ws03", "", "ws03"),
    "quote": record("good", "it's ws 04 é", "it's ws 04 é", "it's ws 04 é"),
    "noexec": record("good", "ws05", "ws05", "ws05"),
    "sealed": dict(record("failed", rc=125),
                   message="status 125: hostname_check: no folder where a program may run; tried /tmp /var/tmp /dev/shm /root"),
    "tcsh": record("good", "ws07", "ws07", "ws07"),
    "sockets": record("good", "ws08", "ws08", None, sockets_error="WSAGetLastError is '10050'."),
    "lookup": record("bad", "ws09", lookup, "ws09"),
    "brace": record("bad", "{% if true %}", '{{ "', "{% if true %}"),
    "odd": record("good", odd, odd, odd),
    "stuck": dict(record("failed", rc=None, arch=None), message="timed out after 10 seconds"),
    "slow": dict(record("failed", rc=124), message="status 124: hostname_check: timed out after 7 seconds"),
    "bullseye": record("good", "ws14", "ws14", "ws14"),
    "arm": record("good", "ws15", "ws15", "ws15", arch="aarch64"),
    "busybox": dict(record("failed", rc=124),
                    message="status 124: The Hostname from command is 'ws20'.: hostname_check: timed out after 7 seconds"),
    "nohostname": dict(record("failed"), message="sh: 1: hostname: not found"),
    "notimeout": dict(record("failed", rc=124), message="status 124: hostname_check: timed out after 7 seconds"),
    "reltmp": record("good", "ws19", "ws19", "ws19"),
    "gone": dict(record("unreachable", rc=None, arch=None), message="Connection refused"),
    "hostile": dict(record("unreachable", rc=None, arch=None), message=lookup + "\u009b 2J \u202e"),
    "ignoring": dict(record("failed", rc=124), message="status 124: hostname_check: timed out after 7 seconds"),
}
bad = 0
for name, want in expected.items():
    got = dict(report["hosts"].get(name, {}))
    if want["status"] == "unreachable" and want["message"] in got.get("message", ""):
        got["message"] = want["message"]
    if got != want:
        print(f"FAILED: report for {name}: {got}, expected {want}")
        bad = 1
checks = {
    "the report's hosts": list(report["hosts"]) == sorted(expected),
    "the summary": report["summary"] == {"good": 10, "bad": 4, "failed": 7, "unreachable": 2},
    "the duplicates": report["duplicates"] == {"ws01": ["good", "twin"]},
    "the time it was made": re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", report["generated"]) is not None,
    "strict UTF-8 without lone surrogates": b"\\ud" not in raw.lower(),
}
for what, ok in checks.items():
    if not ok:
        print(f"FAILED: {what}: {json.dumps({k: v for k, v in report.items() if k != 'hosts'})}")
        bad = 1
print("ok: the report" if not bad else "FAILED: the report")
sys.exit(bad)
PYTHON
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
report "report['version'] == '$version'" "the report gives the collection's version, the project's"

# The console: the counts, one line a host that is not good (by name), one line a shared name, as
# the summary's own lines, once.
summary_of() {
  sed -n '/^hostname_check: [0-9]* good, /,/^report: /p' "$1"
}
# (Ansible's own words before ssh's reason depend on whether it had sent the executables)
summary=$(summary_of "$dir/console" | sed -e 's/^\(unreachable: gone: \).*\(ssh: connect to host \)/\1\2/' \
  -e 's/^\(unreachable: hostile: \).*\({{ lookup\)/\1\2/')
expected_summary=$(
  cat <<TEXT
hostname_check: 10 good, 4 bad, 7 failed, 2 unreachable
bad: brace: command '{% if true %}', registry '{{ "'
failed: busybox: status 124: The Hostname from command is 'ws20'.: hostname_check: timed out after 7 seconds
bad: case: command 'WS02', registry 'ws02'
unreachable: gone: ssh: connect to host 127.0.0.1 port $((ports + 99)): Connection refused
unreachable: hostile: {{ lookup('pipe', 'touch $pwned') }}\\u009b 2J \\u202e
failed: ignoring: status 124: hostname_check: timed out after 7 seconds
bad: lookup: command 'ws09', registry '{{ lookup('pipe', 'touch $pwned') }}'
failed: nohostname: sh: 1: hostname: not found
failed: notimeout: status 124: hostname_check: timed out after 7 seconds
failed: sealed: status 125: hostname_check: no folder where a program may run; tried /tmp /var/tmp /dev/shm /root
failed: slow: status 124: hostname_check: timed out after 7 seconds
failed: stuck: timed out after 10 seconds
bad: unset: command 'ws03', registry ''
same name: ws01: good, twin
report: $dir/shared/report.json, 23 hosts
TEXT
)
expect "$summary" "$expected_summary" "the console summary"
recaps=""
for name in good case sealed stuck gone hostile; do recaps+="$name=$(recap "$name") "; done
expect "$recaps" "good=0,0 case=1,0 sealed=1,0 stuck=1,0 gone=0,1 hostile=0,1 " \
  "the recap fails every host that is not good, and counts the one that is gone unreachable"
# Once, as the run task finds it: the host leaves the play then (it is not the play's first).
expect "$(grep -c '^fatal: \[gone\]: UNREACHABLE! .*Connection refused' "$dir/console")" 1 \
  "the reason a host is unreachable is on the console, in plain words"
# Ansible's line once, as for gone, and the summary's once.
expect "$(grep -cF -e "fatal: [hostile]: UNREACHABLE! " "$dir/console" | tr '\n' ,)$(grep -cE 'u009b 2J \\+u202e' "$dir/console")" 1,2 \
  "a host's words on the console are escaped, in Ansible's lines and in the summary"
expect "$(grep -c censored "$dir/console" || true)" 0 "nothing is censored on the console"
# One task a host: after the settings, made once, each host has exactly one result, its verdict;
# the play's first host (arm: the inventory lists the hosts by name) two more, of the steps that
# run once, for it, and are not delegated: the executables made ready, and the step that counts it
# if it was kept in the play unreached.
counts=""
for name in arm good case sealed stuck gone; do counts+="$name=$(grep -c "^[a-z]*: \[$name\]" "$dir/console") "; done
expect "$counts" "arm=3 good=1 case=1 sealed=1 stuck=1 gone=1 " "one task runs on each host, and one more, once, on the first"
# The summary is shown once, as no host's result: no host has a change to show for it.
expect "$(echo "$summary" | grep -c '^hostname_check: ')$(grep -c '^changed: ' "$dir/console" || true)" 10 \
  "the summary is shown once and is no host's change"
expect "$(grep -c ' changed=[1-9]' "$dir/console" || true)" 0 "no host's recap counts a change"
expect "$(grep -c 'H4sI' "$dir/console" || true)" 0 "the executable is not on the console"

# Accepting bad hosts still fails on hosts that could not be checked; accepting both passes.
status=0
play --limit 'all:!stuck:!slow:!notimeout:!busybox:!ignoring' -e hostname_check_fail_on_bad=false || status=$?
expect "$status" 4 "with fail_on_bad=false, failed and unreachable hosts still fail the play"
expect "$(recap case),$(recap sealed)" "0,0,1,0" "with fail_on_bad=false, only hosts that could not be checked fail"
status=0
play --limit 'all:!stuck:!slow:!notimeout:!busybox:!ignoring' -e hostname_check_fail_on_bad=false -e hostname_check_fail_on_error=false || status=$?
expect "$status" 0 "with both false the play succeeds"

# --limit: the report covers exactly the hosts of the play.
status=0
play --limit case || status=$?
expect "$status" 2 "--limit to a bad host fails"
report "list(report['hosts']) == ['case'] and report['hosts']['case']['status'] == 'bad'" "--limit to a bad host reports it alone"
status=0
play --limit good || status=$?
expect "$status" 0 "--limit to a good host succeeds"
report "list(report['hosts']) == ['good']" "--limit to a good host reports it alone"
status=0
play --limit sealed,gone || status=$?
expect "$status,$(recap sealed),$(recap gone)" "4,1,0,0,1" "failed and unreachable hosts with no bad one fail the play, each in its own terms"

# Quiet mode: the hosts that passed or skipped a step are not shown, the summary is.
status=0
ANSIBLE_DISPLAY_OK_HOSTS=false ANSIBLE_DISPLAY_SKIPPED_HOSTS=false play --limit good,twin,case || status=$?
expect "$status,$(grep -c -x -e 'hostname_check: 2 good, 1 bad, 0 failed, 0 unreachable' -e 'same name: ws01: good, twin' \
  -e "report: $dir/report.json, 3 hosts" "$dir/console")" \
  "2,3" "in quiet mode the summary, the shared names and the report's path stay"

# A fleet of good hosts: at most 3 lines a host besides the play's and tasks' headers and the
# summary (its result and its recap line).
status=0
play --limit good,twin,quote,noexec,tcsh,reltmp || status=$?
lines=$(grep -v -c -e '^$' -e '^PLAY ' -e '^TASK ' -e '^localhost  *:' "$dir/console")
summary_lines=$(summary_of "$dir/console" | wc -l)
expect "$status,$((lines - summary_lines <= 3 * 6))" "0,1" \
  "good hosts take at most 3 lines each ($((lines - summary_lines)) for 6)"

# A user's configuration that names the free strategy changes nothing: one report, one summary.
status=0
ANSIBLE_STRATEGY=free play --limit good,twin,case || status=$?
expect "$status" 2 "with the free strategy the play fails on the bad host"
report "[(h, r['status']) for h, r in report['hosts'].items()] == [('case', 'bad'), ('good', 'good'), ('twin', 'good')]" \
  "with the free strategy the report covers every host of the play"
expect "$(grep -c '^hostname_check: 2 good, 1 bad' "$dir/console" || true)" 1 "with the free strategy the summary is made once"

# The local connection: the controller checks itself (whatever its names, it is checked), with
# nothing but the installed collection and an inventory: its own executable, its report left as
# the job's artifacts.
printf 'all:\n  hosts:\n    controller: {ansible_connection: local}\n' >"$dir/local.yml"
status=0
PATH=${PATH#"$dir/failing:"} ANSIBLE_SHOW_CUSTOM_STATS=true timeout 300 ansible-playbook -i "$dir/local.yml" \
  hostname_check.fleet.check -e hostname_check_fail_on_bad=false >"$dir/console" 2>&1 || status=$?
expect "$status" 0 "the local connection runs"
cp hostname_check_report.json "$dir/report.json"
report "report['hosts']['controller']['status'] in ('good', 'bad') and report['hosts']['controller']['arch'] == 'x86_64' \
  and report['version'] == '$version'" "the collection alone checks the controller with its own executable"
expect "$(grep -c '"summary": {' "$dir/console" || true)" 1 "the report is left as the job's artifacts (set_stats)"

# The checkout's own playbook, as a developer runs it.
status=0
timeout 300 ansible-playbook -i "$dir/inventory.yml" "$root/ansible/hostname_check.yml" --limit good \
  -e "{\"hostname_check_binaries\": $binaries}" -e hostname_check_report="$dir/report.json" >"$dir/console" 2>&1 ||
  status=$?
expect "$status" 0 "the checkout's playbook runs"
report "report['hosts']['good']['status'] == 'good' and report['version'] == '$version'" "the checkout's playbook reports"

# A report folder that others may write without the sticky bit (a team folder) is refused before
# any host is contacted: there anyone could put a link in the report's place between its writing
# and its renaming. The run stops with one message, and no host of the fleet is counted.
mkdir -p "$dir/team"
chmod 0777 "$dir/team"
status=0
play -e hostname_check_report="$dir/team/report.json" || status=$?
expect "$status,$(ls -A "$dir/team" | wc -l)" "2,0" "a report folder others may write without the sticky bit is refused"
expect "$(grep -c "everyone may write the folder $dir/team (drwxrwxrwx" "$dir/console" || true)" 1 "the refusal says why, once"
expect "$(grep -c "Run the check and give the host's verdict" "$dir/console" || true)" 0 "the team folder is refused before any host is contacted"
expect "$(grep -c '^[a-z0-9]*  *: ok=' "$dir/console"),$(grep -c '^localhost  *: .* failed=1 ' "$dir/console")" "1,1" \
  "with a team folder every host of the fleet is counted alike: none is"

# The report's path refused before any host is contacted, what stands there left as it is: a
# device (/dev/null, the obvious way to say "no report"; in a mount namespace whose /dev/null is
# a device node of the test's, so that a fault here cannot replace the machine's), and a link that
# another user planted in the sticky folder, to a file only root may write.
mknod -m 666 "$dir/null" c 1 3
echo precious >"$dir/secret"
chmod 600 "$dir/secret"
setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s "$dir/secret" "$dir/shared/planted.json"
for refused in "/dev/null|/dev/null is a character device; name a regular file" \
  "$dir/shared/planted.json|$dir/shared/planted.json is a symbolic link; name a regular file"; do
  status=0
  mounts="mount --bind $dir/null /dev/null" play --limit good -e hostname_check_report="${refused%%|*}" || status=$?
  contacted=$(grep -c "Run the check and give the host's verdict" "$dir/console" || true)
  said=$(grep -cF "${refused#*|}" "$dir/console" || true)
  expect "$status,$contacted,$said" "2,0,1" "a report path at ${refused%%|*} is refused before any host is contacted, saying what it is"
done
expect "$(cat "$dir/secret"),$(stat -c %F "$dir/shared/planted.json")" "precious,symbolic link" \
  "the report never goes through a planted link, which stays"
expect "$(stat -c %F /dev/null "$dir/null" | sort -u)" "character special file" "/dev/null is still a device"

# No report at all, when so asked: the summary says so and nothing is written.
status=0
play --limit good -e hostname_check_write_report=false -e hostname_check_report="$dir/none.json" || status=$?
expect "$status,$([[ -e $dir/none.json ]] && echo written || echo none)" "0,none" "hostname_check_write_report=false writes no report"
expect "$(grep -cx 'report: none written (hostname_check_write_report is false)' "$dir/console" || true)" 1 \
  "the summary says that no report was written"

# A report that cannot be written (a read-only folder, a full one) is refused before any host is
# contacted, as the controller's problem, saying why, and nothing is left in the folder.
mkdir -p "$dir/readonly" "$dir/full"
for refused in "readonly|mount --bind $dir/readonly $dir/readonly && mount -o remount,bind,ro $dir/readonly|cannot make a new file in the folder $dir/readonly: Read-only file system" \
  "full|mount -t tmpfs -o size=8k,mode=0755 tmpfs $dir/full|the folder $dir/full has no room for the report"; do
  IFS='|' read -r folder mounts says <<<"$refused"
  status=0
  mounts=$mounts play -e hostname_check_report="$dir/$folder/report.json" || status=$?
  expect "$status,$(grep -c "Run the check and give the host's verdict" "$dir/console"),$(recap good),$(ls -A "$dir/$folder" | wc -l)" \
    "2,0,,0" "a report folder that is $folder is refused before any host is contacted"
  expect "$(grep -c "^fatal: \[localhost\]: FAILED! .*hostname_check_report: $says" "$dir/console" || true)" 1 \
    "the refusal says why, as the controller's"
done
unset mounts

# No host that could be reached: the report is written all the same (the last run's is not left
# in place), each host unreachable with its reason, and Ansible's status and recap for them.
echo "the last run's" >"$dir/report.json"
status=0
play --limit gone || status=$?
expect "$status,$(recap gone)" "4,0,1" "a play whose hosts could none be reached ends as Ansible ends it"
report "list(report['hosts']) == ['gone'] and report['hosts']['gone']['status'] == 'unreachable' \
  and 'Connection refused' in report['hosts']['gone']['message']" "a play whose hosts could none be reached writes its report"
expect "$(grep -cx 'hostname_check: 0 good, 0 bad, 0 failed, 1 unreachable' "$dir/console")" 1 \
  "a play whose hosts could none be reached shows the summary"

# What the role uses is what the settings check took: the executables given as JSON text with -e
# (no space: -e splits key=value pairs at blanks), ~ in the report's path.
status=0
HOME=$dir/shared play --limit good -e "hostname_check_binaries={\"x86_64\":\"$x86_64\"}" -e 'hostname_check_report=~/tilde.json' ||
  status=$?
expect "$status,$(grep -c '"command": "ws01"' "$dir/shared/tilde.json" 2>/dev/null)" "0,1" \
  "executables given as JSON text, and a report path with ~, are used as checked"

# A host's own value of a setting, wrong: refused before any host is contacted, naming the host and
# the variable, with --limit too (which leaves the controller's play without its host).
# (The test's own -e settings override any host's: fail_on_bad is not among them.)
printf 'case hostname_check_fail_on_bad=maybe\n' >"$dir/wrong.ini"
for limit in all good,case; do
  status=0
  play -i "$dir/wrong.ini" --limit "$limit" || status=$?
  expect "$status,$(grep -c "Run the check and give the host's verdict" "$dir/console"),$(grep -c "host case: hostname_check_fail_on_bad must be true or false, not 'maybe'" "$dir/console")" \
    "2,0,1" "a host's own wrong value is refused before any host is contacted, naming it (--limit $limit)"
done

# The role in a play of serial batches: refused in one line before any host, not a report after
# each batch that calls the later batches' hosts not checked.
printf -- '- name: In batches\n  hosts: all\n  gather_facts: false\n  serial: 1\n  tasks:\n    - name: Check\n      ansible.builtin.import_role:\n        name: hostname_check.fleet.hostname_check\n' \
  >"$dir/serial.yml"
echo "the last run's" >"$dir/report.json"
status=0
timeout 300 ansible-playbook -i "$dir/inventory.yml" "$dir/serial.yml" --limit good,case -e "{\"hostname_check_binaries\": $binaries}" \
  -e hostname_check_report="$dir/report.json" >"$dir/console" 2>&1 || status=$?
expect "$status,$(grep -c "Run the check and give the host's verdict" "$dir/console"),$(grep -c 'runs its hosts in batches (serial)' "$dir/console"),$(cat "$dir/report.json")" \
  "2,0,1,the last run's" "a play of serial batches is refused before any host"

# AWX: a job as AWX runs it, with ansible-runner (Debian's), in a private data folder laid out as
# AWX lays it out, as an arbitrary user in group 0, its folders group 0's and group-writable (an
# execution environment, OpenShift's way): the default report is written in the project's folder,
# and the artifacts reach the stats event, where AWX reads them.
if command -v ansible-runner >/dev/null; then
  awx=$dir/awx
  rm -rf "$awx"
  mkdir -p "$awx/project" "$awx/inventory" "$awx/env"
  printf -- '---\n- import_playbook: hostname_check.fleet.check\n' >"$awx/project/hostname_check.yml"
  printf 'controller ansible_connection=local\n' >"$awx/inventory/hosts"
  printf -- '---\nhostname_check_fail_on_bad: false\n' >"$awx/env/extravars"
  printf -- '---\nANSIBLE_COLLECTIONS_PATH: %s\nANSIBLE_NOCOLOR: "1"\n' "$dir/collections" >"$awx/env/envvars"
  chown -R 1000870000:0 "$awx"
  find "$awx" -type d -exec chmod 2775 {} +
  status=0
  (cd "$awx" && PATH=${PATH#"$dir/failing:"} setpriv --reuid=1000870000 --regid=0 --clear-groups \
    env HOME="$awx" USER=runner timeout 300 ansible-runner run "$awx" -p hostname_check.yml --ident job) >"$dir/console" 2>&1 ||
    status=$?
  cp "$awx/project/hostname_check_report.json" "$dir/report.json" 2>/dev/null || echo none >"$dir/report.json"
  expect "$status" 0 "an AWX job runs in its execution environment's folders"
  report "list(report['hosts']) == ['controller'] and report['hosts']['controller']['status'] in ('good', 'bad')" \
    "an AWX job writes the default report in its project's folder"
  /usr/bin/python3 - "$awx/artifacts/job/job_events" <<'PYTHON' && echo "ok: the AWX job's artifacts reach the stats event" ||
import glob, json, os, sys
events = [json.load(open(path)) for path in glob.glob(os.path.join(sys.argv[1], "*.json"))]
stats = [event for event in events if event.get("event") == "playbook_on_stats"]
artifacts = stats[0]["event_data"]["artifact_data"]["hostname_check"] if len(stats) == 1 else {}
sys.exit(0 if sum(artifacts.get("summary", {}).values()) == 1 and artifacts["report"].endswith("/project/hostname_check_report.json") else 1)
PYTHON
    { echo "FAILED: the AWX job's artifacts reach the stats event"; failed=1; }
else
  echo "FAILED: no ansible-runner (Debian's python3-ansible-runner) to run an AWX job with"
  failed=1
fi

# An inventory name that is not UTF-8 (an INI inventory beside the fleet's): the report and the
# summary are made, the name escaped.
printf 'bad\xffname ansible_port=%s\n' $((ports + 3)) >"$dir/odd.ini"
status=0
play -i "$dir/odd.ini" --limit 'case:bad*' || status=$?
expect "$status" 2 "a host whose inventory name is not UTF-8 is checked"
report "sorted(report['hosts']) == ['bad\\\\xffname', 'case'] and report['hosts']['bad\\\\xffname']['command'] == 'WS02'" \
  "a name that is not UTF-8 is in the report, escaped"
expect "$(grep -cF -e 'bad: bad\xffname: command ' -e 'same name: ws02: bad\xffname, case' "$dir/console" || true)" 2 \
  "a name that is not UTF-8 is in the summary, escaped"

# --check runs the check, which changes nothing, shows the summary and writes no report.
echo untouched >"$dir/report.json"
status=0
play --check --limit good,case,arm || status=$?
expect "$status" 2 "--check gives the same status"
expect "$(cat "$dir/report.json")" untouched "--check writes no report"
expect "$(summary_of "$dir/console" | sed -n '1p;$p' | tr '\n' '|')" \
  "hostname_check: 2 good, 1 bad, 0 failed, 0 unreachable|report: none written (check mode), $dir/report.json is left as it was|" \
  "--check shows the summary and says that no report was written"

# A host of a machine there is no executable for fails, naming its machine; one executable given
# for every Linux host goes to each, whatever its machine.
play --limit arm -e "{\"hostname_check_binaries\": {\"x86_64\": \"$x86_64\"}}" || true
report "report['hosts']['arm']['status'] == 'failed' and 'machine, aarch64' in report['hosts']['arm']['message']" \
  "a host of another machine fails, naming it"
# (The x86-64 one: static, it runs on the aarch64 host's x86-64 kernel too.)
play --limit good,arm -e hostname_check_binary="$x86_64" || true
report "[(r['command'], r['arch']) for r in report['hosts'].values()] == [('ws15', 'aarch64'), ('ws01', 'x86_64')]" \
  "hostname_check_binary goes to every Linux host"

# Settings that cannot work end the play before any host is contacted, naming the variable.
# So are executables not built, or not executables, and a report path that is a folder; what is
# wrong is said, never hidden.
for setting in hostname_check_timeout=0 hostname_check_timeout=soon hostname_check_report=$dir/nowhere/report.json \
  hostname_check_report=$dir hostname_check_binary=/etc/hostname "hostname_check_binaries={\"x86_64\": \"$dir/none\"}"; do
  status=0
  play -e "$setting" || status=$?
  named=$(grep -c "${setting%%=*}" "$dir/console" || true)
  contacted=$(grep -c "Run the check and give the host's verdict" "$dir/console" || true)
  censored=$(grep -c censored "$dir/console" || true)
  messages=$(grep -c '^fatal: ' "$dir/console" || true)
  expect "$status,$((named > 0)),$contacted,$censored,$messages,$(($(wc -l <"$dir/console") <= 12))" "2,1,0,0,1,1" \
    "$setting is refused before any host is contacted, in one message"
done
"$fleet" empty "$dir" && left=no || left=yes
expect "$left" no "still no file left on any host"

# The harness itself: a fleet whose port is taken does not start, and a stale pid file that names
# a process of this machine's own stops nothing.
other=$dir/other
mkdir -p "$other/hosts/clash"
echo $((ports + 1)) >"$other/hosts/clash/port"
printf clash >"$other/hosts/clash/kernel"
printf 'clash\n' >"$other/hosts/clash/etc_hostname"
"$fleet" start "$other" 2>/dev/null && started=yes || started=no
expect "$started" no "a fleet whose port is taken does not start"
sleep 600 &
bystander=$!
echo "$bystander" >"$other/hosts/clash/pid"
"$fleet" stop "$other"
expect "$(kill -0 "$bystander" 2>/dev/null && echo alive || echo killed)" alive "a stale pid file stops nothing"
kill "$bystander"
wait "$bystander" 2>/dev/null || true

# A host whose sshd has died: its sessions (the stuck host's) are still stopped.
stuck=$(cat "$dir/hosts/stuck/ns")
sessions=$(left_on "$stuck" | grep -c ' sleep 600 $' || true)
kill "$(cat "$dir/hosts/stuck/pid")"
"$fleet" stop "$dir"
for _ in $(seq 50); do [[ -n $(left_on "$stuck") ]] || break; sleep 0.1; done  # signalled, not yet gone
left_on "$stuck"
expect "$((sessions > 0)),$(left_on "$stuck" | wc -l)" "1,0" "stop ends the sessions of a host whose sshd has died"

[[ $failed -eq 0 ]] || { cat "$dir/console"; exit 1; }
