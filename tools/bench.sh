#!/usr/bin/env bash
# What a run of the check costs. Prints, from one hyperfine run, the ratio of the check's mean time
# to its floor's (the capture and the removal done by the system's own tools), the
# check's peak resident memory, and the size of the Windows executable.
# Needs hyperfine and time (Debian packages of those names) beside the build tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --preset windows-i686 >/dev/null && cmake --build --preset windows-i686 >/dev/null
check=$root/build/release/hostname_check
exe=$root/build/windows-i686/hostname_check.exe

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
floor="sh -c 'sh -c \"hostname > HostName123.txt\"; rm HostName123.txt'"
hyperfine -N --warmup 20 --runs "${RUNS:-500}" --export-csv times.csv "$check" "$floor"

# times.csv: command,mean,stddev,median,user,system,min,max (seconds).
awk -F, 'NR == 2 { check = $2 } NR == 3 { floor = $2 }
  END { printf "ratio of means (check / floor): %.2f (%.2f ms / %.2f ms)\n", check / floor, check * 1000, floor * 1000 }' times.csv
peak=$(/usr/bin/time -v "$check" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }')
echo "peak resident memory of the check: ${peak} KiB"
echo "size of hostname_check.exe: $(stat -c %s "$exe") bytes"
