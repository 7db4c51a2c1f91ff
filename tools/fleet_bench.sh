#!/usr/bin/env bash
# What checking a fleet through Ansible costs, against fair floors: on a simulated fleet (tests/fleet/
# fleet.sh: namespaces with their own sshd, sftp included, on 127.0.0.1), the playbook against one
# ad-hoc command per host (ansible all -m command -a hostname) with pipelining on, as a tuned
# controller runs it, and off, and against one plain `ssh HOST hostname` a host (the physical
# limit), all with the same inventory and parallelism, in rounds (one of each in turn, after a
# warm-up round); then the playbook alone over all the hosts with more forks (SWEEP, if set).
# Prints tables of mean wall times.
# As root; needs ansible-core and openssh-server, and what `cmake --workflow --preset fleet` needs.
#   RUNS=3 FORKS=5 COUNTS="25 100 300" SWEEP="5 10 25 50" tools/fleet_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${RUNS:-3}
forks=${FORKS:-5}
counts=${COUNTS:-25 100 300}
sweep=${SWEEP:-}
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
# One plain ssh a host, FORKS at a time, without Ansible.
ssh_floor() {
  local ports=$1
  echo "$ports" | tr ' ' '\n' | xargs -P "$forks" -I PORT ssh -q -p PORT -i "$dir/client_key" \
    -o UserKnownHostsFile="$dir/known_hosts" -o StrictHostKeyChecking=yes -o BatchMode=yes root@127.0.0.1 hostname
}
echo "| hosts | forks | playbook (s) | ad-hoc, pipelined (s) | ad-hoc (s) | plain ssh (s) | playbook / pipelined | playbook / ssh |"
echo "|---|---|---|---|---|---|---|---|"
for count in $counts; do
  limit=$(printf 'host%03d,' $(seq 1 "$count"))
  ports=$(seq 23001 $((23000 + count)) | tr '\n' ' ')
  export ANSIBLE_FORKS=$forks
  round() {
    echo "$(seconds "${playbook[@]}" --limit "${limit%,}") $(ANSIBLE_PIPELINING=True seconds "${floor[@]}" --limit "${limit%,}")" \
      "$(seconds "${floor[@]}" --limit "${limit%,}") $(seconds ssh_floor "$ports")"
  }
  round >/dev/null
  for _ in $(seq "$runs"); do round; done |
    awk -v count="$count" -v forks="$forks" '{ p += $1; q += $2; f += $3; s += $4 }
    END { printf "| %d | %d | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", count, forks, p / NR, q / NR, f / NR, s / NR, p / q, p / s }'
done
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
