#!/bin/bash
# A simulated fleet on this machine: each host is a private UTS and mount namespace with its own
# kernel host name, /etc/hostname, /tmp, /var/tmp, /dev/shm and home (/root), and its own sshd on
# 127.0.0.1.
#   fleet.sh start DIR    starts a host for every DIR/hosts/NAME/ that holds
#                         port, kernel (the kernel's host name, bytes as they are), etc_hostname,
#                         and optionally
#                           noexec         folders (of the four above) to mount noexec
#                           shell          root's login shell
#                           force_command  what sshd runs whatever the client asks (ForceCommand)
#                           setenv         NAME=VALUE for every session (SetEnv)
#                           hostname       a script to stand in for /usr/bin/hostname
#                           root           a root folder for the host's sessions (ChrootDirectory);
#                                          its /etc/hostname, /dev and the four folders are the
#                                          host's own, mounted in the host's namespace
#                           aarch64        the root's programs are for aarch64: qemu-user runs them
#                                          (binfmt_misc, registered for the fleet's lifetime)
#                           proc           the root has a /proc of its own (the machine's
#                                          processes, as a host with its own root sees them)
#                         writes DIR/inventory.yml (also listing DIR/unreachable, one NAME PORT a
#                         line, then optionally the host's variables as YAML "KEY: VALUE, ...", as
#                         hosts where nothing listens) and waits until every sshd listens.
#                         Fails if a port is taken.
#   fleet.sh empty DIR    lists every file left in a host's four folders; fails if there is one.
#   fleet.sh stop DIR     stops every host, and every process in it, its sessions too when its sshd
#                         has died; only processes of this fleet's own: in the namespace recorded
#                         for the host when it started, and carrying the fleet's own mark in their
#                         environment. A start that fails stops every host it started.
# Ansible's SSH master connections belong in DIR too (ANSIBLE_SSH_CONTROL_PATH_DIR=DIR/cp), so that
# they never outlive the fleet they were made for.
# Needs root, unshare and nsenter (util-linux), sshd (openssh-server) and ss (iproute2); an aarch64
# host needs qemu-user-static. Traffic stays on the loopback.
set -euo pipefail
command=$1
dir=$(realpath "$2")
folders=(/tmp /var/tmp /dev/shm /root)
binfmt=/proc/sys/fs/binfmt_misc

# Every TCP port listened on, with the pid of its first listener: "PORT PID" a line. One look at the
# whole machine, as `ss -p` reads every process's descriptors whatever it is asked about.
listeners() {
  ss -Hltnp | awk '{ port = $4; sub(/.*:/, "", port); pid = ""
    if (match($0, /pid=[0-9]+/)) pid = substr($0, RSTART + 4, RLENGTH - 4)
    if (!(port in seen)) { seen[port] = 1; print port, pid } }'
}

# qemu-user for aarch64 programs, as Debian's qemu-user-static registers it, unless it already is.
register_aarch64() {
  [[ -e $binfmt/register ]] || { mount -t binfmt_misc binfmt_misc "$binfmt" && touch "$dir/binfmt_mounted"; }
  if [[ ! -e $binfmt/qemu-aarch64 ]]; then
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
    touch "$dir/binfmt_registered"
  fi
}

start_host() {
  local host=$1 name=${1##*/} port noexec=()
  port=$(<"$host/port")
  [[ -z ${taken[$port]:-} ]] || { echo "port $port for $name is taken" >&2; return 1; }
  # A chroot must be root-owned and closed to others all the way up: the host sees its root at
  # /mnt/hosts/NAME/chroot, inside the fleet's folder seen at /mnt.
  if [[ -f $host/root ]]; then
    mkdir -p "$host/chroot"
    chmod 755 "$dir" "$dir/hosts" "$host" "$host/chroot"
  fi
  [[ ! -f $host/noexec ]] || read -ra noexec <"$host/noexec" || true
  local host_setenv=
  [[ ! -f $host/setenv ]] || host_setenv=$(<"$host/setenv")
  {
    echo "Port $port"
    echo "ListenAddress 127.0.0.1"
    echo "HostKey /mnt/host_key"
    echo "AuthorizedKeysFile /mnt/client_key.pub"
    echo "PidFile none"
    echo "PermitRootLogin prohibit-password"
    echo "PasswordAuthentication no"
    echo "KbdInteractiveAuthentication no"
    echo "UsePAM no"
    echo "StrictModes no"
    echo "LogLevel ERROR"
    # As on real hosts, so that Ansible's file transfers work at the first try.
    echo "Subsystem sftp internal-sftp"
    [[ ! -f $host/root ]] || echo "ChrootDirectory /mnt/hosts/$name/chroot"
    # Every session carries the fleet's mark in its environment (sshd, whose title covers its
    # environment, in its command line, below), by which stop knows its own.
    echo "SetEnv HOSTNAME_CHECK_FLEET=$fleet_id${host_setenv:+ $host_setenv}"
    [[ ! -f $host/force_command ]] || echo "ForceCommand $(<"$host/force_command")"
  } >"$host/sshd_config"
  # root's login shell, in a passwd of the host's own.
  if [[ -f $host/shell ]]; then
    sed "s|^\(root:[^:]*:[^:]*:[^:]*:[^:]*:[^:]*:\).*|\1$(cat "$host/shell")|" /etc/passwd >"$host/passwd"
  fi
  [[ ! -f $host/hostname ]] || chmod 755 "$host/hostname"
  [[ ! -f $host/aarch64 ]] || register_aarch64
  # Without --fork the shell, and then sshd, is the namespaces' first process: its pid is theirs.
  # The fleet's folder may itself lie under /tmp or /root, so inside the host it is seen at /mnt.
  unshare --uts --mount --propagation private /bin/sh -c '
    set -e
    host=$1 noexec=$2 name=$4
    cat "$host/kernel" > /proc/sys/kernel/hostname
    [ ! -f "$host/passwd" ] || mount --bind "$host/passwd" /etc/passwd
    mount --bind "$3" /mnt
    mount --bind "$host/etc_hostname" /etc/hostname
    [ ! -f "$host/hostname" ] || mount --bind "$host/hostname" /usr/bin/hostname
    root=
    if [ -f "$host/root" ]; then
      root=/mnt/hosts/$name/chroot
      mount --bind "$(cat "$host/root")" "$root"
      mount --bind /dev "$root/dev"
      mount --bind "$host/etc_hostname" "$root/etc/hostname"
      [ ! -f "$host/proc" ] || mount -t proc proc "$root/proc"
    fi
    for folder in /tmp /var/tmp /dev/shm /root; do
      options=nosuid,nodev,mode=1777
      [ "$folder" != /root ] || options=nosuid,nodev,mode=700
      case " $noexec " in *" $folder "*) options=$options,noexec ;; esac
      mount -t tmpfs -o "$options" tmpfs "$root$folder"
    done
    exec /usr/sbin/sshd -D -e -f "/mnt/hosts/$name/sshd_config" -o "VersionAddendum=fleet-$5"' \
    sh "$host" "${noexec[*]:-}" "$dir" "$name" "$fleet_id" 2>"$host/sshd.log" &
  echo $! >"$host/pid"
}

# Stops every process of every host of this fleet: in the host's recorded namespace and marked as
# the fleet's (in its environment, or sshd's in its command line), whether or not its sshd still
# runs. sshd's own session processes end with their sessions, or when stop ends the master
# connections in DIR/cp.
# The pids of the processes of this fleet, in any of the namespaces named by the keys of `ours`: a
# few commands over the machine's processes, however many hosts and processes there are.
fleet_processes() {
  local id=$1 pid ns candidates=()
  while read -r pid ns; do
    [[ -z $ns || -z ${ours[$ns]:-} ]] || candidates+=("${pid%/ns}")
  done < <(find /proc/[0-9]*/ns -maxdepth 1 -name uts -printf '%h %l\n' 2>/dev/null)
  ((${#candidates[@]} > 0)) || return 0
  {
    grep -laxzF "HOSTNAME_CHECK_FLEET=$id" "${candidates[@]/%//environ}" 2>/dev/null || true
    grep -laF "VersionAddendum=fleet-$id" "${candidates[@]/%//cmdline}" 2>/dev/null || true
  } | sed -n 's|^/proc/\([0-9]*\)/.*|\1|p' | sort -u
}

stop_all() {
  local host ns id signal pids own
  local -A ours=()
  id=$(cat "$dir/fleet_id" 2>/dev/null) || id=
  own=$(readlink /proc/self/ns/uts)
  for host in "$dir"/hosts/*/; do
    host=${host%/}
    ns=$(cat "$host/ns" 2>/dev/null) || ns=$(host_namespace "$host") || ns=
    [[ -z $ns || $ns == "$own" || -z $id ]] || ours[$ns]=1
    rm -f "$host/pid" "$host/ns"
  done
  ((${#ours[@]} > 0)) || return 0
  # TERM, then, for what is still there a second later (or came up meanwhile), KILL.
  for signal in TERM TERM KILL; do
    pids=($(fleet_processes "$id"))
    ((${#pids[@]} > 0)) || break
    kill -s "$signal" "${pids[@]}" 2>/dev/null || true
    sleep 0.5
  done
}

# Qemu-user as the fleet found it.
unregister_aarch64() {
  if [[ -f $dir/binfmt_registered ]]; then
    echo -1 >"$binfmt/qemu-aarch64" 2>/dev/null || true
    rm -f "$dir/binfmt_registered"
  fi
  if [[ -f $dir/binfmt_mounted ]]; then
    umount "$binfmt" 2>/dev/null || true
    rm -f "$dir/binfmt_mounted"
  fi
}

# The namespace of a host's sshd, given its pid file: only if that process is the host's own sshd
# and its namespace is not this machine's, so that a stale pid file never leads anywhere else.
host_namespace() {
  local host=$1 pid ns
  pid=$(cat "$host/pid" 2>/dev/null) || return 1
  ns=$(readlink "/proc/$pid/ns/uts" 2>/dev/null) || return 1
  [[ $ns != "$(readlink /proc/self/ns/uts)" ]] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF "/mnt/hosts/${host##*/}/sshd_config" || return 1
  echo "$ns"
}

case $command in
start)
  mkdir -p /run/sshd
  cat /proc/sys/kernel/random/uuid >"$dir/fleet_id"
  fleet_id=$(<"$dir/fleet_id")
  rm -f "$dir/host_key" "$dir/client_key"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key"
  : >"$dir/known_hosts"
  read -r key_type key_text _ <"$dir/host_key.pub"
  host_key="$key_type $key_text"
  {
    echo "all:"
    echo "  vars:"
    echo "    ansible_host: 127.0.0.1"
    echo "    ansible_user: root"
    echo "    ansible_python_interpreter: /usr/bin/python3"
    echo "    ansible_ssh_private_key_file: $dir/client_key"
    echo "    ansible_ssh_common_args: -o UserKnownHostsFile=$dir/known_hosts -o StrictHostKeyChecking=yes -o ConnectTimeout=5"
    echo "  hosts:"
  } >"$dir/inventory.yml"
  declare -A taken=()
  while read -r port pid; do taken[$port]=${pid:-?}; done < <(listeners)
  for host in "$dir"/hosts/*/; do
    host=${host%/}
    start_host "$host" || { stop_all; unregister_aarch64; exit 1; }
    port=$(<"$host/port")
    echo "[127.0.0.1]:$port $host_key" >>"$dir/known_hosts"
    echo "    ${host##*/}: {ansible_port: $port}" >>"$dir/inventory.yml"
  done
  if [[ -f $dir/unreachable ]]; then
    while read -r name port vars; do
      echo "    $name: {ansible_port: $port${vars:+, $vars}}" >>"$dir/inventory.yml"
    done <"$dir/unreachable"
  fi
  # Every host's own sshd listens within ten seconds of the last one's start.
  hosts=("$dir"/hosts/*/)
  for _ in $(seq 100); do
    taken=()
    while read -r port pid; do taken[$port]=${pid:-?}; done < <(listeners)
    waiting=0
    for host in "${hosts[@]}"; do [[ -n ${taken[$(<"$host/port")]:-} ]] || { waiting=1; break; }; done
    ((waiting)) || break
    sleep 0.1
  done
  for host in "${hosts[@]}"; do
    port=$(<"$host/port")
    if [[ ${taken[$port]:-} != "$(<"$host/pid")" ]]; then
      echo "sshd for $host does not listen:" >&2
      cat "$host/sshd.log" >&2
      stop_all
      unregister_aarch64
      exit 1
    fi
    readlink "/proc/$(<"$host/pid")/ns/uts" >"$host/ns"
  done
  ;;
empty)
  left=0
  for host in "$dir"/hosts/*/; do
    root=
    [[ ! -f $host/root ]] || root=/mnt/hosts/$(basename "$host")/chroot
    files=$(nsenter -t "$(cat "$host/pid")" -m -- find "${folders[@]/#/$root}" -mindepth 1)
    if [[ -n $files ]]; then
      echo "${host%/}: $files"
      left=1
    fi
  done
  exit $left
  ;;
stop)
  # Ansible's master connections to this fleet first: the sessions they hold on the hosts end with them.
  for socket in "$dir"/cp/*; do
    [[ -S $socket ]] && ssh -o ControlPath="$socket" -O exit fleet >/dev/null 2>&1 || true
  done
  stop_all
  unregister_aarch64
  ;;
*)
  echo "usage: $0 start|empty|stop DIR" >&2
  exit 2
  ;;
esac
