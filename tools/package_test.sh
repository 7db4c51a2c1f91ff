#!/usr/bin/env bash
# Builds both packages and tries them as an administrator would, as root: installs the .deb, runs
# hostname_check from PATH in an empty directory, reads its manual page, removes the package; then
# unpacks the Windows zip and runs the executable under Wine in a prefix of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}

cmake --preset native >/dev/null
cmake --build --preset native --target hostname_check manual_page >/dev/null
(cd build/native && cpack -G DEB >/dev/null)
cmake --workflow --preset windows-i686 >/dev/null
deb=$(ls build/native/hostname-check_*.deb)
zip=$(ls build/windows-i686/hostname-check-*-win32.zip)

work=$(mktemp -d)
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

# Four lines, the last three in their fixed form, and status 0.
four_lines() {
  local out=$1
  [[ $(wc -l <"$out") -eq 4 ]] &&
    grep -q "^The Hostname from command is '.*'\.$(printf '\r')\?\$" "$out" &&
    grep -q "^The test results were '\(good\|bad\)'\." "$out"
}

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./$deb" >/dev/null
mkdir "$work/run"
check "installed check runs from PATH" sh -c "cd '$work/run' && hostname_check > '$work/out'"
check "it prints the four lines" four_lines "$work/out"
check "it leaves no file behind" test -z "$(ls -A "$work/run")"
check "the manual page is installed" sh -c "man -w hostname_check | grep -q '/usr/share/man/man1/hostname_check.1.gz'"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q hostname-check >/dev/null
check "the package removes cleanly" sh -c "! command -v hostname_check && ! dpkg -s hostname-check 2>/dev/null | grep -q 'Status: install'"

mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root/$zip")
check "the zip holds the executable and README.txt" test -f "$work/zip/hostname_check.exe" -a -f "$work/zip/README.txt"
check "README.txt has CRLF line ends" sh -c "[ \$(grep -c \$(printf '\r')\$ '$work/zip/README.txt') -eq \$(wc -l < '$work/zip/README.txt') ]"
wineboot -i >/dev/null 2>&1
check "the unpacked executable runs under Wine" sh -c "cd '$work/run' && wine '$work/zip/hostname_check.exe' > '$work/out'"
check "it prints the four lines" four_lines "$work/out"

echo "packages: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
