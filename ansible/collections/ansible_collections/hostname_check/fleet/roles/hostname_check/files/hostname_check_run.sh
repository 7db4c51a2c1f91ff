# hostname_check on a Linux host, for the fleet playbook, which sends this script in base64 for
# the host's /bin/sh to run with the arguments
#   LIMIT MACHINE...
# and, on standard input, one line for each MACHINE (as `uname -m` names it, or * for any): its
# executable, compressed with gzip and encoded in base64. The script prints the host's machine
# ("hostname_check machine: NAME"), then runs the executable for it in a private directory where a
# program may run, with at most LIMIT seconds to finish, and removes the directory however the run
# ends. Its status is the check's; 124 when the check ran out of time, which it then ends with
# every process it started; 125 when it could not be started, with the reason on standard error;
# 129 when the script itself is sent HUP, INT, PIPE or TERM (the connection dropped), which ends
# the check and everything it started as well. Nothing the check started outlives the run: also
# what ignores TERM, and what its parent left behind.

# Ends the processes named and every process below them: each is stopped (STOP) as soon as it is
# found, so that none can start another unseen, and the processes of this host (/proc/PID/stat:
# the state and the parent follow the command's name in parentheses) are looked through again
# until a pass finds no new one and every one found has stopped; then each is sent KILL, which a
# stopped process takes as it is. Not TERM: a shell forked from this one runs this script's trap
# for TERM until it has set up its own, and forgets a TERM taken that way, so a process just
# started would go on. $$ among the named is looked under, never stopped. Once the check's folder
# is made, a process working in it is ended too, wherever it is in the tree: one whose parent has
# gone (reparented to init) is found that way. Without /proc (a bare chroot), only the processes
# named are ended.
end_below() {
  tree=" $* "
  tree_found=
  for tree_pid in "$@"; do
    [ "$tree_pid" = "$$" ] || ! kill -s STOP "$tree_pid" 2>/dev/null || tree_found="$tree_found $tree_pid"
  done
  tree_passes=0
  while [ -r /proc/self/stat ] && [ "$tree_passes" -lt 100 ]; do
    tree_passes=$((tree_passes + 1))
    tree_more=
    for tree_stat in /proc/[0-9]*/stat; do
      read -r tree_line 2>/dev/null <"$tree_stat" || continue
      tree_pid=${tree_line%% *}
      tree_line=${tree_line##*") "}
      tree_state=${tree_line%% *}
      tree_line=${tree_line#* }
      tree_parent=${tree_line%% *}
      case $tree in
      *" $tree_pid "*)
        case $tree_state in T | t | Z | X | x) ;; *) [ "$tree_pid" = "$$" ] || tree_more=yes ;; esac
        ;;
      *" $tree_parent "*)
        if kill -s STOP "$tree_pid" 2>/dev/null; then
          tree="$tree$tree_pid "
          tree_found="$tree_found $tree_pid"
          tree_more=yes
        fi
        ;;
      *)
        # (test's -ef: the same folder, by device and inode, with no process started for it; every
        # sh in use has it, and one without it finds nothing, quietly)
        if [ -n "$dir" ] && [ "$tree_pid" != "$$" ] && [ "/proc/$tree_pid/cwd" -ef "$dir" ] 2>/dev/null &&
          kill -s STOP "$tree_pid" 2>/dev/null; then
          tree="$tree$tree_pid "
          tree_found="$tree_found $tree_pid"
          tree_more=yes
        fi
        ;;
      esac
    done
    [ -n "$tree_more" ] || break
  done
  if [ -n "$tree_found" ]; then
    kill -s KILL $tree_found 2>/dev/null
  fi
}

# Ends what still works in the check's folder once the check has ended (a process whose parent has
# gone is no longer below it, and one may have left the group): one look through /proc, with no
# process started for it, and end_below for what it finds.
end_left() {
  left=
  for left_process in /proc/[0-9]*; do
    [ "${left_process#/proc/}" = "$$" ] || ! [ "$left_process/cwd" -ef "$dir" ] 2>/dev/null ||
      left="$left ${left_process#/proc/}"
  done
  [ -z "$left" ] || end_below $left
}

# Ends, with KILL, the process group that GNU timeout made for the check (its own pid), when there
# is one: all at once, a process forked meanwhile too. dash wants -- before the group, busybox's
# sh refuses it. While timeout runs or any process is in its group, no other process can have
# its number.
end_group() {
  [ -n "$group" ] || return 0
  kill -s KILL -- "-$group" 2>/dev/null || kill -s KILL "-$group" 2>/dev/null
  group=
}

# The seconds since the machine started, whole, without a process of its own; empty without /proc.
uptime_now() {
  now=
  [ ! -r /proc/uptime ] || read -r now _ </proc/uptime || now=
  now=${now%%.*}
}

limit=$1
shift
dir=
trap 'rm -rf "$dir"' EXIT
sleeper=
runner=
group=
expired=
trap 'end_below $$ $sleeper $runner; end_group; exit 129' HUP INT PIPE TERM
umask 077

# The executables on standard input are read to their end first, also when unused: over ssh,
# input left unsent fails the host as unreachable, and this message would be lost.
fail() {
  echo "hostname_check: $*" >&2
  cat >/dev/null 2>&1
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
  fail "no executable for this host's machine, $machine (there are: $*)"
fi
# The first folder where a program actually runs: noexec is a mount option, so try one. The probe
# is the check's own file, which the executable then takes the place of.
tried=
for base in "${TMPDIR:-/tmp}" /var/tmp /dev/shm "$HOME"; do
  case " $tried " in *" $base "*) continue ;; esac
  tried="$tried $base"
  # Absolute, so that the removal finds the folder from wherever the run ends.
  case $base in /*) ;; *) base=$(cd "$base" 2>/dev/null && pwd) || continue ;; esac
  dir=$(mktemp -d "$base/hostname_check.XXXXXX" 2>/dev/null) || continue
  printf '#!/bin/sh\n' >"$dir/hostname_check" && chmod 700 "$dir/hostname_check" &&
    "$dir/hostname_check" </dev/null 2>/dev/null && break
  rm -rf "$dir"
  dir=
done
[ -n "$dir" ] || fail "no folder where a program may run; tried$tried"

# The executable's line, decoded and unpacked straight into the file; sed reads the rest.
sed -n "${found}p" | base64 -d | gzip -dc >"$dir/hostname_check" && cd "$dir" ||
  fail "cannot unpack the executable in $dir"
case $(timeout --version 2>/dev/null) in
*"(GNU coreutils)"*)
  # GNU timeout sends TERM to the check's whole process group when the time is up, and KILL a
  # second later if the check is still there (timeout is then ended with it: 137); when the check
  # has ended, whatever it started and left in the group is ended with KILL, also what ignores
  # TERM, which would otherwise go on holding the connection open. In the background, so that a
  # signal to this script is taken at once: the shell takes a trap while it waits, but only after
  # a command in the foreground has ended. The shell says nothing of its own (dash would say
  # "Segmentation fault" of a check that crashed, which timeout passes on): the status tells.
  uptime_now
  started=$now
  timeout -k 1 "$limit" ./hostname_check &
  runner=$!
  group=$runner
  wait "$runner" 2>/dev/null
  status=$?
  end_group
  if [ "$status" -eq 137 ] && [ -n "$started" ]; then
    uptime_now
    [ -z "$now" ] || [ $((now - started)) -lt "$limit" ] || status=124
  fi
  ;;
*)
  # A watchdog of our own, on a host without GNU timeout (busybox's sh runs its own timeout applet
  # whatever PATH says, which ends the check alone and says nothing of the time): a sleep of LIMIT
  # seconds, this shell's own child from the start, which the check's shell ends as soon as the
  # check is done. Only a sleep that ran its full time ends the check and everything below it.
  # The sleep is ended with KILL: the forked shell that becomes the sleep runs this script's trap
  # for TERM until it has set up its own, and would forget a TERM that came that early, leaving
  # the sleep to run its full time and a check that ended at once reported out of time. Its pid
  # is no other process's before this shell has waited for it.
  # The shells say nothing of their own: dash and busybox's sh say "Terminated", "Killed" or
  # "Segmentation fault" of a child ended by a signal while they wait for it, on their standard
  # error as it is during the wait, so each wait's goes nowhere. The check's own goes to ours
  # through descriptor 3, set in a subshell of its own that the check replaces.
  sleep "$limit" >/dev/null 2>&1 &
  sleeper=$!
  (
    (exec ./hostname_check 2>&3 3>&-)
    status=$?
    kill -s KILL "$sleeper"
    exit "$status"
  ) 3>&2 2>/dev/null &
  runner=$!
  expired=
  # The shell would say "Terminated" of the sleep that the check's end cut short: not the
  # check's words, which its standard error alone carries.
  if wait "$sleeper" 2>/dev/null; then
    expired=yes
    end_below "$runner"
  fi
  sleeper=
  wait "$runner" 2>/dev/null
  status=$?
  [ -z "$expired" ] || status=124
  ;;
esac
runner=
# (A watchdog that ran out has looked through /proc already.)
[ -n "$expired" ] || end_left
[ "$status" -ne 124 ] || echo "hostname_check: timed out after $limit seconds" >&2
exit "$status"
