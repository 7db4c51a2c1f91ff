#!/usr/bin/env bash
# What checking a fleet through Ansible costs, against Ansible's own floor: on a simulated fleet of
# up to 100 hosts (tests/fleet/fleet.sh: namespaces with their own sshd on 127.0.0.1), the playbook
# against one ad-hoc command per host (ansible all -m command -a hostname), both with the same
# inventory and forks, in paired runs (one of each in turn, after a warm-up pair); then the
# playbook alone over all the hosts with more forks. Prints two tables of mean wall times.
# As root; needs ansible-core and openssh-server, and what `cmake --workflow --preset fleet` needs.
#   RUNS=5 FORKS=10 COUNTS="8 25 50 100" SWEEP="5 10 25 50" tools/fleet_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${RUNS:-5}
forks=${FORKS:-10}
counts=${COUNTS:-8 25 50 100}
sweep=${SWEEP:-5 10 25 50}
cmake --workflow --preset fleet >/dev/null

dir=$root/build/fleet-bench
trap 'tests/fleet/fleet.sh stop "$dir"' EXIT
tests/fleet/fleet.sh stop "$dir" 2>/dev/null || true
rm -rf "$dir"
largest=$(echo "$counts" | tr ' ' '\n' | sort -n | tail -n 1)
for i in $(seq 1 "$largest"); do
  host=$dir/hosts/$(printf 'host%03d' "$i")
  mkdir -p "$host"
  echo $((23000 + i)) >"$host/port"
  printf 'ws%03d' "$i" >"$host/kernel"
  printf 'ws%03d\n' "$i" >"$host/etc_hostname"
done
tests/fleet/fleet.sh start "$dir"

export ANSIBLE_NOCOLOR=1 ANSIBLE_SSH_CONTROL_PATH_DIR=$dir/cp
# Seconds a command takes, its output dropped.
seconds() {
  local start
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  awk -v end="$(date +%s.%N)" -v start="$start" 'BEGIN { print end - start }'
}
playbook=(ansible-playbook -i "$dir/inventory.yml" ansible/hostname_check.yml -e "hostname_check_report=$dir/report.json")
floor=(ansible -i "$dir/inventory.yml" all -m ansible.builtin.command -a hostname)
echo "| hosts | forks | playbook (s) | ad-hoc command (s) | ratio |"
echo "|---|---|---|---|---|"
for count in $counts; do
  limit=$(printf 'host%03d,' $(seq 1 "$count"))
  export ANSIBLE_FORKS=$forks
  seconds "${playbook[@]}" --limit "${limit%,}" >/dev/null
  seconds "${floor[@]}" --limit "${limit%,}" >/dev/null
  for _ in $(seq "$runs"); do
    echo "$(seconds "${playbook[@]}" --limit "${limit%,}") $(seconds "${floor[@]}" --limit "${limit%,}")"
  done | awk -v count="$count" -v forks="$forks" '{ p += $1; f += $2 }
    END { printf "| %d | %d | %.2f | %.2f | %.2f |\n", count, forks, p / NR, f / NR, p / f }'
done

echo
echo "| hosts | forks | playbook (s) |"
echo "|---|---|---|"
for each in $sweep; do
  export ANSIBLE_FORKS=$each
  seconds "${playbook[@]}" >/dev/null
  for _ in $(seq "$runs"); do seconds "${playbook[@]}"; done |
    awk -v count="$largest" -v forks="$each" '{ p += $1 } END { printf "| %d | %d | %.2f |\n", count, forks, p / NR }'
done
