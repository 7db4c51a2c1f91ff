#!/usr/bin/env bash
# Builds the check and runs every test: the release Windows executables, 32-bit and 64-bit; the
# fuzz targets, each for 30 seconds; the native build with its unit and end-to-end tests, the
# Windows executables under Wine (the 32-bit one where this kernel runs 32-bit programs, from an
# i386 root where this machine has no 32-bit Wine), the static x86-64 and aarch64 (qemu-user)
# ones, valgrind, clang-format, clang-tidy and the fleet playbook; the native build again under AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs missing Debian packages when run as root; otherwise names
# them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev hostname g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
  unzip icoutils libxml2-utils clang libclang-rt-14-dev clang-format clang-tidy valgrind groff-base man-db
  dpkg-dev file lintian osslsigncode openssl ansible ansible-core ansible-lint openssh-server iproute2
  util-linux procps musl-dev musl-dev:arm64 g++-aarch64-linux-gnu qemu-user-static debootstrap tcsh
  ninja-build rpm rpmlint acl python3-ansible-runner)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "Installing ${missing[*]}"
    # musl-dev:arm64 (and the fleet test's busybox) are arm64 packages.
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    # A mirror caught mid-sync fails one list; what is needed may well be in the others.
    apt-get update -q || echo "apt-get update reported errors; going on with the lists it has" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  else
    echo "Missing packages; install them as root (musl-dev:arm64 needs 'dpkg --add-architecture" \
      "arm64' and 'apt-get update' first): apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

# 32-bit Wine for the 32-bit Windows runs, where this kernel runs 32-bit programs: this machine's
# own (wine32:i386) if it is installed and runs, else an i386 Debian root of its own, made once
# and kept in /var/cache/hostname_check (its i386 packages never mix with this machine's, whose
# i386 index may be out of step with the amd64 one). Elsewhere the runs are skipped, with the
# reason.
wine32="wine"
i386_root=/var/cache/hostname_check/i386-root
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && tests/i386_root.sh probe >/dev/null; then
  if [[ -f $i386_root/.complete ]] || [[ $(id -u) -eq 0 ]]; then
    tests/i386_root.sh make "$i386_root"
    export HOSTNAME_CHECK_I386_ROOT=$i386_root
    wine32="wine in an i386 root"
  else
    echo "no 32-bit Wine here: run as root once to make the i386 root, or the 32-bit Windows runs are skipped" >&2
  fi
fi

cmake --workflow --preset windows-i686
cmake --workflow --preset windows-x86_64
cmake --workflow --preset fuzz
cmake --workflow --preset native 2>&1 | tee build/native-tests.log
cmake --workflow --preset sanitize

# Which Windows builds ran under Wine, and why one did not, from the native run's own results.
count() { grep -c "Test #[0-9]*: wine\.$1\.Scenario/.*Passed" build/native-tests.log || true; }
reason=$(awk '/Testing: wine\.Windows32\./ { in32 = 1 } in32 && next_is_reason { print; exit }
  in32 && /: Skipped$/ { next_is_reason = 1 }' build/native/Testing/Temporary/LastTest.log)
echo "Windows under Wine: x64 (wine64) passed $(count Windows64) scenarios; x86 ($wine32) passed" \
  "$(count Windows32)${reason:+, skipped: $reason}"
