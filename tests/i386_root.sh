#!/bin/sh
# 32-bit Wine from a Debian i386 root of its own, for a machine whose kernel runs 32-bit programs
# but whose own packages cannot give 32-bit Wine (an i386 index out of step with the amd64 one):
#   i386_root.sh probe            whether this kernel runs i386 programs (status 0), else why not
#   i386_root.sh make ROOT        makes the root once (debootstrap, then wine and wine32 in it);
#                                 a complete root is reused as it is
#   i386_root.sh run ROOT COMMAND...
#                                 runs COMMAND (a path inside the root) in it, as root, in the
#                                 current directory, in a private mount namespace
# `run` shows the root this machine's /proc, /dev, /sys (where Wine learns the processors) and
# /tmp, and, at the same paths, the current
# directory, WINEPREFIX and every folder named in HOSTNAME_CHECK_I386_BINDS (colon-separated):
# every call sees the same paths, so one wineserver serves them all.
set -eu

usage() {
  echo "usage: $0 probe | make ROOT | run ROOT COMMAND..." >&2
  exit 2
}

# The smallest i386 program: exit(0) through int 0x80. A kernel without IA-32 emulation refuses
# it with "Exec format error".
probe() {
  program=$(mktemp) || exit 1
  trap 'rm -f "$program"' EXIT
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$program"
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000' >>"$program"
  printf '\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000' >>"$program"
  printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >>"$program"
  printf '\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000' >>"$program"
  printf '\061\333\270\001\000\000\000\315\200' >>"$program"
  chmod 700 "$program"
  if ! error=$("$program" 2>&1); then
    case $error in
    *"format error"*) echo "this kernel runs no 32-bit programs (an i386 program: Exec format error)" ;;
    *) echo "an i386 program did not run: $error" ;;
    esac
    exit 1
  fi
}

# Made beside its final place and renamed there once complete, so that an interrupted make leaves
# nothing that passes for a root.
make_root() {
  root=$1
  if [ -f "$root/.complete" ]; then
    echo "i386 root: reusing $root"
    return
  fi
  [ "$(id -u)" -eq 0 ] || { echo "making the i386 root needs root" >&2 && exit 1; }
  command -v debootstrap >/dev/null || { echo "making the i386 root needs debootstrap" >&2 && exit 1; }
  why=$(probe) || { echo "$why" >&2 && exit 1; }
  mkdir -p "$(dirname "$root")"
  partial=$root.partial
  rm -rf "$partial"
  log=$root.log
  echo "i386 root: making $root (about 6 minutes and 1.2 GB; log in $log)"
  # Bookworm as released, without its security suite: every version in the root then matches.
  debootstrap --variant=minbase --arch=i386 bookworm "$partial" >"$log" 2>&1 ||
    { tail -n 20 "$log" >&2 && exit 1; }
  inside "$partial" sh -c 'apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y \
    --no-install-recommends wine wine32 && apt-get clean' >>"$log" 2>&1 ||
    { tail -n 20 "$log" >&2 && exit 1; }
  touch "$partial/.complete"
  mv "$partial" "$root"
  echo "i386 root: made $root"
}

# Runs a command in the root with this machine's /proc and /dev.
inside() {
  unshare --mount --propagation private -- sh -c '
    root=$1
    shift
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" || exit 125
    exec chroot "$root" "$@"' inside "$@"
}

run() {
  root=$1
  shift
  [ -f "$root/.complete" ] || { echo "$root is not a complete i386 root (i386_root.sh make)" >&2 && exit 125; }
  [ "$(id -u)" -eq 0 ] || { echo "running in the i386 root needs root (chroot)" >&2 && exit 125; }
  binds=/tmp:$PWD:${WINEPREFIX:-}:${HOSTNAME_CHECK_I386_BINDS:-}
  # Wine in the root finds its own server; the caller's settings for this machine's Wine do not
  # apply there.
  exec unshare --mount --propagation private -- sh -c '
    root=$1 binds=$2 here=$3
    shift 3
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
      mount --rbind /sys "$root/sys" || exit 125
    IFS=:
    for folder in $binds; do
      [ -n "$folder" ] && [ -d "$folder" ] || continue
      mkdir -p "$root$folder" && mount --bind "$folder" "$root$folder" || exit 125
    done
    unset IFS
    exec chroot "$root" /usr/bin/env -u WINESERVER -u WINELOADER -u WINE HOME=/root \
      PATH=/usr/local/bin:/usr/bin:/bin /bin/sh -c '\''cd "$0" && exec "$@"'\'' "$here" "$@"' \
    run "$root" "$binds" "$PWD" "$@"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
probe) [ $# -eq 0 ] || usage && probe ;;
make) [ $# -eq 1 ] || usage && make_root "$1" ;;
run) [ $# -ge 2 ] || usage && run "$@" ;;
*) usage ;;
esac
