#!/usr/bin/env bash
# Builds the check and runs every test: the release Windows executable; the fuzz targets, each
# for 30 seconds; the native build with its unit and end-to-end tests, the Windows executable
# under Wine, the static x86-64 and aarch64 (qemu-user) ones, valgrind, clang-format, clang-tidy
# and the fleet playbook; the native build again under AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs missing Debian packages when run as root; otherwise names
# them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev hostname g++-mingw-w64-i686 wine wine32:i386
  icoutils libxml2-utils clang libclang-rt-14-dev clang-format clang-tidy valgrind groff-base man-db
  dpkg-dev file lintian osslsigncode openssl ansible ansible-core ansible-lint openssh-server iproute2
  util-linux procps musl-dev musl-dev:arm64 g++-aarch64-linux-gnu qemu-user-static debootstrap tcsh
  ninja-build)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "Installing ${missing[*]}"
    # wine32 is an i386 package, musl-dev:arm64 (and the fleet test's busybox) arm64 ones.
    for architecture in i386 arm64; do
      dpkg --print-foreign-architectures | grep -qx "$architecture" || dpkg --add-architecture "$architecture"
    done
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  else
    echo "Missing packages; install them as root (wine32:i386 and musl-dev:arm64 need" \
      "'dpkg --add-architecture i386', the same for arm64, and 'apt-get update' first):" \
      "apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

cmake --workflow --preset windows-i686
cmake --workflow --preset fuzz
cmake --workflow --preset native
cmake --workflow --preset sanitize
