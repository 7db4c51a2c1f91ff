#!/usr/bin/env bash
# What checking a fleet through Ansible costs, against fair floors: on a simulated fleet (tests/fleet/
# fleet.sh: namespaces with their own sshd, sftp included, on 127.0.0.1), the playbook against
# Ansible's cheapest act, one ad-hoc `raw` command a host (ansible all -m raw -a hostname), and
# against one ad-hoc command per host (ansible all -m command -a hostname) with pipelining on, as a
# tuned controller runs it, all with the same inventory and parallelism, in rounds (one of each in
# turn, after a warm-up round); then one round of the playbook and of raw over BIG hosts (if set,
# after a warm-up of raw);
# then Ansible's own profile of one playbook run over PROFILE hosts (if set); then the playbook alone
# over all the hosts with more forks (SWEEP, if set). Prints tables of mean wall times and seconds
# a host, and the machine's load average before each table. Every command finds its SSH master
# connections open (ControlPersist of an hour, where Ansible's default is a minute, and the
# warm-ups), whatever the fleet's size: at Ansible's default a round over more than a few hundred
# hosts outlasts the masters the round before left, and would pay for new connections that a
# smaller round does not.
# As root; needs ansible-core and openssh-server, and what `cmake --workflow --preset fleet` needs.
# The hosts listen on 127.0.0.1 at PORTS+1 and up (27000 unless set; below the ephemeral range).
#   RUNS=3 FORKS=5 COUNTS="25 100 300" BIG=1000 PROFILE=300 SWEEP="5 10 25 50" PORTS=27000 tools/fleet_bench.sh
#   (COUNTS="" BIG=1000 PROFILE=300 gives the large round and the profile alone)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${RUNS:-3}
forks=${FORKS:-5}
counts=${COUNTS-25 100 300}
big=${BIG-1000}
sweep=${SWEEP:-}
profile=${PROFILE:-}
base=${PORTS:-27000}
cmake --workflow --preset fleet >/dev/null

dir=$root/build/fleet-bench
trap 'tests/fleet/fleet.sh stop "$dir"' EXIT
tests/fleet/fleet.sh stop "$dir" 2>/dev/null || true
rm -rf "$dir"
largest=$(echo "$counts $big" | tr ' ' '\n' | grep . | sort -n | tail -n 1)
((base >= 1024 && base + largest < 32768)) || { echo "PORTS + hosts must stay from 1024 to 32767" >&2; exit 2; }
for i in $(seq 1 "$largest"); do
  host=$dir/hosts/$(printf 'host%04d' "$i")
  mkdir -p "$host"
  echo $((base + i)) >"$host/port"
  printf 'ws%04d' "$i" >"$host/kernel"
  printf 'ws%04d\n' "$i" >"$host/etc_hostname"
done
tests/fleet/fleet.sh start "$dir"

export ANSIBLE_NOCOLOR=1 ANSIBLE_SSH_CONTROL_PATH_DIR=$dir/cp
export ANSIBLE_SSH_ARGS="-C -o ControlMaster=auto -o ControlPersist=1h"
# Seconds a command takes, its output dropped.
seconds() {
  local start
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  awk -v end="$(date +%s.%N)" -v start="$start" 'BEGIN { print end - start }'
}
playbook=(ansible-playbook -i "$dir/inventory.yml" ansible/hostname_check.yml -e "hostname_check_report=$dir/report.json")
raw=(ansible -i "$dir/inventory.yml" all -m ansible.builtin.raw -a hostname)
command=(ansible -i "$dir/inventory.yml" all -m ansible.builtin.command -a hostname)
limit_of() {
  local limit
  limit=$(printf 'host%04d,' $(seq 1 "$1"))
  echo "${limit%,}"
}
export ANSIBLE_FORKS=$forks
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
echo "| hosts | forks | playbook (s) | ad-hoc raw (s) | ad-hoc command, pipelined (s) | playbook / raw | playbook s/host | raw s/host |"
echo "|---|---|---|---|---|---|---|---|"
for count in $counts; do
  limit=$(limit_of "$count")
  round() {
    echo "$(seconds "${playbook[@]}" --limit "$limit") $(seconds "${raw[@]}" --limit "$limit")" \
      "$(ANSIBLE_PIPELINING=True seconds "${command[@]}" --limit "$limit")"
  }
  round >/dev/null
  for _ in $(seq "$runs"); do round; done |
    awk -v count="$count" -v forks="$forks" '{ p += $1; r += $2; c += $3 }
    END { printf "| %d | %d | %.2f | %.2f | %.2f | %.2f | %.4f | %.4f |\n", count, forks, p / NR, r / NR, c / NR, p / r, p / NR / count, r / NR / count }'
done
if [[ -n $big ]]; then
  limit=$(limit_of "$big")
  seconds "${raw[@]}" --limit "$limit" >/dev/null
  echo "$(seconds "${playbook[@]}" --limit "$limit") $(seconds "${raw[@]}" --limit "$limit")" |
    awk -v count="$big" -v forks="$forks" '{ printf "| %d (1 round) | %d | %.2f | %.2f | | %.2f | %.4f | %.4f |\n", count, forks, $1, $2, $1 / $2, $1 / count, $2 / count }'
fi
if [[ -n $profile ]]; then
  echo
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); ansible.posix.profile_tasks, $profile hosts:"
  ANSIBLE_CALLBACKS_ENABLED=ansible.posix.profile_tasks "${playbook[@]}" --limit "$(limit_of "$profile")" 2>&1 |
    sed -n '/^PLAY RECAP/,$p' | grep -E ' -+ [0-9.]+s$|^=+$|^[A-Z][a-z]+day' | grep -v '^=' || true
fi
[[ -n $sweep ]] || exit 0

echo
echo "| hosts | forks | playbook (s) |"
echo "|---|---|---|"
for each in $sweep; do
  export ANSIBLE_FORKS=$each
  seconds "${playbook[@]}" >/dev/null
  for _ in $(seq "$runs"); do seconds "${playbook[@]}"; done |
    awk -v count="$largest" -v forks="$each" '{ p += $1 } END { printf "| %d | %d | %.2f |\n", count, forks, p / NR }'
done
