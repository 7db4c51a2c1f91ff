#!/usr/bin/env bash
# Builds the check and runs every test: the native build, then the same under AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs missing Debian packages when run as root; otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev hostname)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "Installing ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  else
    echo "Missing packages; install them as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

cmake --workflow --preset native
cmake --workflow --preset sanitize
