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
#                         line, as hosts where nothing listens) and waits until every sshd listens.
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

# The pid of the process listening on a port of 127.0.0.1, or nothing.
listener() {
  ss -Hltnp "sport = :$1" | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n 1
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
  port=$(cat "$host/port")
  [[ -z $(listener "$port") ]] || { echo "port $port for $name is taken" >&2; return 1; }
  # A chroot must be root-owned and closed to others all the way up: the host sees its root at
  # /mnt/hosts/NAME/chroot, inside the fleet's folder seen at /mnt.
  if [[ -f $host/root ]]; then
    mkdir -p "$host/chroot"
    chmod 755 "$dir" "$dir/hosts" "$host" "$host/chroot"
  fi
  [[ ! -f $host/noexec ]] || read -ra noexec <"$host/noexec" || true
  local host_setenv=
  [[ ! -f $host/setenv ]] || host_setenv=$(cat "$host/setenv")
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
    echo "SetEnv HOSTNAME_CHECK_FLEET=$(cat "$dir/fleet_id")${host_setenv:+ $host_setenv}"
    [[ ! -f $host/force_command ]] || echo "ForceCommand $(cat "$host/force_command")"
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
    sh "$host" "${noexec[*]:-}" "$dir" "$name" "$(cat "$dir/fleet_id")" 2>"$host/sshd.log" &
  echo $! >"$host/pid"
}

# Stops every process of every host of this fleet: in the host's recorded namespace and marked as
# the fleet's (in its environment, or sshd's in its command line), whether or not its sshd still
# runs. sshd's own session processes end with their sessions.
# The pids of the processes of this fleet in the namespace ns.
fleet_processes() {
  local ns=$1 id=$2 process
  for process in /proc/[0-9]*; do
    [[ $(readlink "$process/ns/uts" 2>/dev/null) == "$ns" ]] || continue
    tr '\0' '\n' <"$process/environ" 2>/dev/null | grep -qxF "HOSTNAME_CHECK_FLEET=$id" ||
      tr '\0' ' ' <"$process/cmdline" 2>/dev/null | grep -qF "VersionAddendum=fleet-$id" || continue
    echo "${process#/proc/}"
  done
}

stop_all() {
  local host ns id signal pids namespaces=()
  id=$(cat "$dir/fleet_id" 2>/dev/null) || id=
  for host in "$dir"/hosts/*/; do
    host=${host%/}
    ns=$(cat "$host/ns" 2>/dev/null) || ns=$(host_namespace "$host") || ns=
    [[ -z $ns || $ns == "$(readlink /proc/self/ns/uts)" || -z $id ]] || namespaces+=("$ns")
    rm -f "$host/pid" "$host/ns"
  done
  # TERM, then, for what is still there a second later (or came up meanwhile), KILL.
  for signal in TERM TERM KILL; do
    pids=()
    for ns in "${namespaces[@]}"; do pids+=($(fleet_processes "$ns" "$id")); done
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
  rm -f "$dir/host_key" "$dir/client_key"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key"
  : >"$dir/known_hosts"
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
  for host in "$dir"/hosts/*/; do
    host=${host%/}
    start_host "$host" || { stop_all; unregister_aarch64; exit 1; }
    echo "[127.0.0.1]:$(cat "$host/port") $(cut -d' ' -f1,2 "$dir/host_key.pub")" >>"$dir/known_hosts"
    echo "    ${host##*/}: {ansible_port: $(cat "$host/port")}" >>"$dir/inventory.yml"
  done
  if [[ -f $dir/unreachable ]]; then
    while read -r name port; do echo "    $name: {ansible_port: $port}" >>"$dir/inventory.yml"; done <"$dir/unreachable"
  fi
  # Every host's own sshd listens within ten seconds.
  for host in "$dir"/hosts/*/; do
    port=$(cat "$host/port")
    for _ in $(seq 100); do
      [[ -z $(listener "$port") ]] || break
      sleep 0.1
    done
    if [[ $(listener "$port") != "$(cat "$host/pid")" ]]; then
      echo "sshd for $host does not listen:" >&2
      cat "$host/sshd.log" >&2
      stop_all
      unregister_aarch64
      exit 1
    fi
    readlink "/proc/$(cat "$host/pid")/ns/uts" >"$host/ns"
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
  stop_all
  unregister_aarch64
  ;;
*)
  echo "usage: $0 start|empty|stop DIR" >&2
  exit 2
  ;;
esac
