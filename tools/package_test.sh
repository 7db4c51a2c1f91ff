#!/usr/bin/env bash
# Builds both packages from the release builds alone and tries them as an administrator would, as
# root: checks the SHA256SUMS beside them, lintian on the .deb, installs it, runs hostname_check
# from PATH in an empty directory, reads its manual page, removes the package; then unpacks the
# Windows zip, checks its SHA256SUMS and runs the executable under Wine in a prefix of its own.
# Last, signs the executable with a throwaway certificate, and sees a failed signing leave none.
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

cmake --preset release >/dev/null && cmake --build --preset release >/dev/null && cpack --preset deb >/dev/null
cmake --workflow --preset windows-i686 >/dev/null
deb=$(ls build/release/hostname-check_*.deb)
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

for folder in build/release build/windows-i686; do
  check "the checksums beside the packages in $folder" sh -c "cd $folder && sha256sum -c SHA256SUMS"
done
check "lintian finds no error or warning" lintian --fail-on error,warning "$deb"
check "the package's copyright file is DEP-5 with the licence" sh -c "dpkg-deb --fsys-tarfile '$deb' |
  tar -xO ./usr/share/doc/hostname-check/copyright | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'"
check "Depends is computed, without hostname" sh -c "dpkg-deb -f '$deb' Depends | grep -qx 'libc6 (>= [0-9.]*)'"
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
check "the zip holds the executable, README.txt, LICENSE.txt and SHA256SUMS" \
  test -f "$work/zip/hostname_check.exe" -a -f "$work/zip/README.txt" -a -f "$work/zip/LICENSE.txt" \
  -a -f "$work/zip/SHA256SUMS"
check "the zip's SHA256SUMS is the executable's" sh -c "cd '$work/zip' && sha256sum -c SHA256SUMS"
for text in README.txt LICENSE.txt; do
  check "$text has CRLF line ends" sh -c "[ \$(grep -c \$(printf '\r')\$ '$work/zip/$text') -eq \$(wc -l < '$work/zip/$text') ]"
done
check "README.txt is under 100 lines of at most 78 characters" sh -c \
  "[ \$(wc -l < '$work/zip/README.txt') -lt 100 ] && ! tr -d '\r' < '$work/zip/README.txt' | grep -q '.\{79\}'"
wineboot -i >/dev/null 2>&1
check "the unpacked executable runs under Wine" sh -c "cd '$work/run' && wine '$work/zip/hostname_check.exe' > '$work/out'"
check "it prints the four lines" four_lines "$work/out"

# Signing: a throwaway self-signed certificate, a build with signing on, and a signature that
# osslsigncode verifies, given that certificate as the one it may trust.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=hostname_check test" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cmake -S . -B "$work/signed" --toolchain cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DBUILD_TESTING=OFF -DHOSTNAME_CHECK_WERROR=ON \
  -DHOSTNAME_CHECK_SIGN_CERT="$work/cert.pem" -DHOSTNAME_CHECK_SIGN_KEY="$work/key.pem" >/dev/null
cmake --build "$work/signed" >/dev/null
check "osslsigncode verifies the signature" sh -c "osslsigncode verify -CAfile '$work/cert.pem' \
  -in '$work/signed/hostname_check.exe' | grep -qx 'Signature verification: ok'"
check "the signed executable still runs" sh -c "cd '$work/run' && wine '$work/signed/hostname_check.exe' > '$work/out'"
# A wrong password: the build fails and leaves no unsigned executable, with Ninja too.
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout pass:right -out "$work/codesign.p12"
echo wrong >"$work/password.txt"
cmake -S . -B "$work/badsign" -G Ninja --toolchain cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DBUILD_TESTING=OFF -DHOSTNAME_CHECK_SIGN_PKCS12="$work/codesign.p12" \
  -DHOSTNAME_CHECK_SIGN_PASSWORD_FILE="$work/password.txt" >/dev/null
check "a failed signing fails the build and leaves no executable" sh -c \
  "! cmake --build '$work/badsign' >/dev/null 2>&1 && ! test -e '$work/badsign/hostname_check.exe'"

echo "packages: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
