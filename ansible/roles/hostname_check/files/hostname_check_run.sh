# hostname_check on a Linux host, for the fleet playbook, which sends this script in base64 for
# the host's /bin/sh to run with the arguments
#   LIMIT MACHINE...
# and, on standard input, one line for each MACHINE (as `uname -m` names it, or * for any): its
# executable, compressed with gzip and encoded in base64. The script prints the host's machine
# ("hostname_check machine: NAME"), then runs the executable for it in a private directory where a
# program may run, with at most LIMIT seconds to finish, and removes the directory however the run
# ends. Its status is the check's; 124 when the check ran out of time; 125 when it could not be
# started, with the reason on standard error.
limit=$1
shift
dir=
trap 'rm -rf "$dir"' EXIT
trap 'exit 129' HUP INT PIPE TERM
umask 077

fail() {
  echo "hostname_check: $*" >&2
  exit 125
}

for tool in uname sed mktemp base64 gzip; do
  command -v "$tool" >/dev/null 2>&1 || fail "this host has no $tool, which the check needs to start"
done
machine=$(uname -m)
echo "hostname_check machine: $machine"
line=0
found=
for candidate in "$@"; do
  line=$((line + 1))
  if [ "$candidate" = "$machine" ] || [ "$candidate" = '*' ]; then
    found=$line
    break
  fi
done
if [ -z "$found" ]; then
  cat >/dev/null
  fail "no executable for this host's machine, $machine (there are: $*)"
fi
payload=$(sed -n "${found}p")

# The first folder where a program actually runs: noexec is a mount option, so try one.
tried=
for base in "${TMPDIR:-/tmp}" /var/tmp /dev/shm "$HOME"; do
  case " $tried " in *" $base "*) continue ;; esac
  tried="$tried $base"
  # Absolute, so that the removal finds the folder from wherever the run ends.
  base=$(cd "$base" 2>/dev/null && pwd) || continue
  dir=$(mktemp -d "$base/hostname_check.XXXXXX" 2>/dev/null) || continue
  printf '#!/bin/sh\n' >"$dir/probe" && chmod 700 "$dir/probe" && "$dir/probe" 2>/dev/null && break
  rm -rf "$dir"
  dir=
done
[ -n "$dir" ] || fail "no folder where a program may run; tried$tried"
rm -f "$dir/probe"

printf '%s\n' "$payload" | base64 -d | gzip -dc >"$dir/hostname_check" &&
  chmod 700 "$dir/hostname_check" && cd "$dir" || fail "cannot unpack the executable in $dir"
if command -v timeout >/dev/null 2>&1; then
  timeout "$limit" ./hostname_check
  status=$?
else
  # A watchdog of our own: stops the check and what it started (through ps, where there is one)
  # after LIMIT seconds, as timeout would, and its own sleep with it once the check is done.
  kill_tree() {
    for child in $(ps -e -o pid= -o ppid= 2>/dev/null | while read -r pid parent; do
      [ "$parent" != "$1" ] || echo "$pid"
    done); do
      kill_tree "$child"
    done
    kill -TERM "$1" 2>/dev/null
  }
  ./hostname_check &
  check=$!
  (
    trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
    sleep "$limit" &
    sleeper=$!
    wait "$sleeper" && echo expired >"$dir/.expired" && kill_tree "$check"
  ) &
  watchdog=$!
  # (Without the shell's word on a check it stopped: the message below says it.)
  wait "$check" 2>/dev/null
  status=$?
  kill -TERM "$watchdog" 2>/dev/null
  wait "$watchdog"
  [ ! -e "$dir/.expired" ] || status=124
fi
[ "$status" -ne 124 ] || echo "hostname_check: timed out after $limit seconds" >&2
exit "$status"
