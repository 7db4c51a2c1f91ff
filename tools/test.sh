#!/usr/bin/env bash
# Builds the check and runs every test: the release Windows executables, 32-bit and 64-bit; the
# fuzz targets, each for 30 seconds; the native build with its unit and end-to-end tests, the
# Windows executables under Wine (the 32-bit one where this kernel runs 32-bit programs), the static x86-64 and aarch64 (qemu-user) ones, valgrind, clang-format, clang-tidy
# and the fleet playbook; the native build again under AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs missing Debian packages when run as root; otherwise names
# them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev hostname g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
  unzip icoutils libxml2-utils clang libclang-rt-14-dev clang-format clang-tidy valgrind groff-base man-db
  dpkg-dev file lintian osslsigncode openssl ansible ansible-core ansible-lint openssh-server iproute2
  util-linux procps musl-dev musl-dev:arm64 g++-aarch64-linux-gnu qemu-user-static debootstrap tcsh
  ninja-build)

# Only for the 32-bit Windows runs: where it cannot be installed (an i386 index that is out of step
# with the amd64 one, say), they are skipped with the reason, like on a kernel without 32-bit code.
optional=(wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
missing_optional=()
for package in "${optional[@]}"; do
  installed "$package" || missing_optional+=("$package")
done
if ((${#missing[@]} + ${#missing_optional[@]} > 0)); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "Installing ${missing[*]} ${missing_optional[*]}"
    # wine32 is an i386 package, musl-dev:arm64 (and the fleet test's busybox) arm64 ones.
    for architecture in i386 arm64; do
      dpkg --print-foreign-architectures | grep -qx "$architecture" || dpkg --add-architecture "$architecture"
    done
    # A mirror caught mid-sync fails one list; what is needed may well be in the others.
    apt-get update -q || echo "apt-get update reported errors; going on with the lists it has" >&2
    if ((${#missing[@]} > 0)); then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    fi
    if ((${#missing_optional[@]} > 0)); then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing_optional[@]}" ||
        echo "could not install ${missing_optional[*]}: the 32-bit Windows runs will be skipped" >&2
    fi
  elif ((${#missing[@]} > 0)); then
    echo "Missing packages; install them as root (wine32:i386 and musl-dev:arm64 need" \
      "'dpkg --add-architecture i386', the same for arm64, and 'apt-get update' first):" \
      "apt-get install ${missing[*]} ${missing_optional[*]}" >&2
    exit 1
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
echo "Windows under Wine: x64 (wine64) passed $(count Windows64) scenarios; x86 (wine) passed" \
  "$(count Windows32)${reason:+, skipped: $reason}"
