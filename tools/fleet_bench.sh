#!/usr/bin/env bash
# What checking a fleet through Ansible costs, against Ansible's own floor: on a simulated fleet of
# 8, 25 and 50 hosts (tests/fleet/fleet.sh: namespaces with their own sshd on 127.0.0.1), the
# playbook against one ad-hoc command per host (ansible all -m command -a hostname), both with
# the same inventory and forks, timed by hyperfine. Prints a table of mean wall times and ratios.
# As root; needs ansible-core, openssh-server and hyperfine (Debian packages of those names).
#   RUNS=5 FORKS=10 tools/fleet_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${RUNS:-5}
forks=${FORKS:-10}
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null

dir=$root/build/fleet-bench
trap 'tests/fleet/fleet.sh stop "$dir"' EXIT
rm -rf "$dir"
for i in $(seq 1 50); do
  host=$dir/hosts/$(printf 'host%02d' "$i")
  mkdir -p "$host"
  echo $((42400 + i)) >"$host/port"
  printf 'ws%02d' "$i" >"$host/kernel"
  printf 'ws%02d\n' "$i" >"$host/etc_hostname"
done
tests/fleet/fleet.sh start "$dir"

export ANSIBLE_FORKS=$forks ANSIBLE_NOCOLOR=1 ANSIBLE_SSH_CONTROL_PATH_DIR=$dir/cp
echo "| hosts | forks | playbook (s) | ad-hoc command (s) | ratio |"
echo "|---|---|---|---|---|"
for count in 8 25 50; do
  hosts=$(printf 'host%02d,' $(seq 1 "$count"))
  limit=${hosts%,}
  hyperfine --runs "$runs" --warmup 1 --export-csv "$dir/times.csv" --style none \
    -n playbook -n floor "ansible-playbook -i $dir/inventory.yml --limit $limit ansible/hostname_check.yml -e hostname_check_report=$dir/report.json" \
    "ansible -i $dir/inventory.yml --limit $limit all -m ansible.builtin.command -a hostname" >/dev/null
  awk -F, -v count="$count" -v forks="$forks" 'NR == 2 { p = $2 } NR == 3 { f = $2 }
    END { printf "| %d | %d | %.2f | %.2f | %.2f |\n", count, forks, p, f, p / f }' "$dir/times.csv"
done
