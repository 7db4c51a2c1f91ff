#!/bin/bash
# A simulated fleet on this machine: each host is a private UTS and mount namespace with its own
# kernel host name, /etc/hostname, /tmp and home (/root), and its own sshd on 127.0.0.1.
#   fleet.sh start DIR    starts a host for every DIR/hosts/NAME/ that holds
#                         port, kernel (the kernel's host name, bytes as they are), etc_hostname,
#                         and optionally noexec_tmp (then /tmp is mounted noexec);
#                         writes DIR/inventory.yml (also listing DIR/unreachable, one NAME PORT a
#                         line, as hosts where nothing listens) and waits until every sshd listens.
#   fleet.sh empty DIR    lists every file left in a host's /tmp or home; fails if there is one.
#   fleet.sh stop DIR     stops every host, and every process in it.
# Ansible's SSH master connections belong in DIR too (ANSIBLE_SSH_CONTROL_PATH_DIR=DIR/cp), so that
# they never outlive the fleet they were made for.
# Needs root, unshare and nsenter (util-linux) and sshd (openssh-server). Traffic stays on the
# loopback.
set -euo pipefail
command=$1
dir=$(realpath "$2")

start_host() {
  local host=$1 port
  port=$(cat "$host/port")
  cat >"$host/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey /mnt/host_key
AuthorizedKeysFile /mnt/client_key.pub
PidFile none
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
LogLevel ERROR
CONFIG
  local options=nosuid,nodev,mode=1777
  [[ -e $host/noexec_tmp ]] && options+=,noexec
  # Without --fork the shell, and then sshd, is the namespaces' first process: its pid is theirs.
  # The fleet's folder may itself lie under /tmp or /root, so inside the host it is seen at /mnt.
  unshare --uts --mount --propagation private /bin/sh -c '
    set -e
    cat "$1/kernel" > /proc/sys/kernel/hostname
    mount --bind "$1/etc_hostname" /etc/hostname
    mount --bind "$2" /mnt
    mount -t tmpfs -o "$3" tmpfs /tmp
    mount -t tmpfs -o mode=700 tmpfs /root
    exec /usr/sbin/sshd -D -e -f "/mnt/hosts/$4/sshd_config"' \
    sh "$host" "$dir" "$options" "${host##*/}" 2>"$host/sshd.log" &
  echo $! >"$host/pid"
}

case $command in
start)
  mkdir -p /run/sshd
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
    start_host "$host"
    echo "[127.0.0.1]:$(cat "$host/port") $(cut -d' ' -f1,2 "$dir/host_key.pub")" >>"$dir/known_hosts"
    echo "    ${host##*/}: {ansible_port: $(cat "$host/port")}" >>"$dir/inventory.yml"
  done
  if [[ -f $dir/unreachable ]]; then
    while read -r name port; do echo "    $name: {ansible_port: $port}" >>"$dir/inventory.yml"; done <"$dir/unreachable"
  fi
  # Every sshd listens within ten seconds.
  for host in "$dir"/hosts/*/; do
    port=$(cat "$host/port")
    for _ in $(seq 100); do
      ss -Hltn "sport = :$port" | grep -q . && break
      sleep 0.1
    done
    ss -Hltn "sport = :$port" | grep -q . || { echo "sshd for $host does not listen:" >&2; cat "$host/sshd.log" >&2; exit 1; }
  done
  ;;
empty)
  left=0
  for host in "$dir"/hosts/*/; do
    files=$(nsenter -t "$(cat "$host/pid")" -m -- find /tmp /root -mindepth 1)
    if [[ -n $files ]]; then
      echo "${host%/}: $files"
      left=1
    fi
  done
  exit $left
  ;;
stop)
  # Every process of a host: sshd and the sessions it forked, which outlive it.
  for pid in "$dir"/hosts/*/pid; do
    [[ -f $pid ]] || continue
    ns=$(readlink "/proc/$(cat "$pid")/ns/uts" 2>/dev/null) || ns=
    if [[ -n $ns ]]; then
      for process in /proc/[0-9]*; do
        [[ $(readlink "$process/ns/uts" 2>/dev/null) == "$ns" ]] && kill "${process#/proc/}" 2>/dev/null
      done
    fi
    rm -f "$pid"
  done
  ;;
*)
  echo "usage: $0 start|empty|stop DIR" >&2
  exit 2
  ;;
esac
