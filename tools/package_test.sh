#!/usr/bin/env bash
# Builds the packages from the release builds alone and tries them as an administrator would, as
# root: checks the checksum lists beside them, lintian on the .deb, installs it, runs
# hostname_check from PATH in an empty directory, reads its manual page, removes the package; runs
# rpmlint on both RPMs and, for each, installs it with rpm --root into a folder that holds nothing
# but a static shell and hostname, runs the check there (aarch64 under qemu-user), verifies and
# removes it; then
# unpacks both Windows zips in one download folder, checks them and their executables against the
# lists beside them, and runs each executable under the Wine loader for it (the 32-bit one only
# where this kernel runs 32-bit programs, from the i386 root that tools/test.sh makes where this
# machine has no 32-bit Wine of its own; skipped, with the reason, elsewhere). Then signs an
# executable with a throwaway certificate, and sees a failed signing leave none. Last, builds
# everything again from a copy of the sources in another folder and compares the checksums.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
wine64=/usr/lib/wine/wine64

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
skipped=0
skip() {
  echo "skipped: $1"
  skipped=$((skipped + 1))
}

# Every package and executable that is published, as the package step leaves them.
build_all() {
  cmake --preset release >/dev/null && cmake --build --preset release >/dev/null &&
    cpack --preset deb >/dev/null
  for preset in windows-i686 windows-x86_64 fleet collection rpm; do
    cmake --workflow --preset "$preset" >/dev/null
  done
}
build_all
published=(build/release/hostname-check_*.deb build/windows-i686/hostname-check-*-win32.zip
  build/windows-x86_64/hostname-check-*-win64.zip build/windows-i686/hostname_check.exe
  build/windows-x86_64/hostname_check.exe build/fleet/hostname_check-x86_64
  build/fleet/hostname_check-aarch64 build/collection/hostname_check-fleet-*.tar.gz
  build/rpm/hostname-check-*.rpm)
deb=$(ls build/release/hostname-check_*.deb)
machines=(x86_64 aarch64)
zips=(build/windows-i686/hostname-check-*-win32.zip build/windows-x86_64/hostname-check-*-win64.zip)

work=$(mktemp -d)
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all

# The 32-bit loader: this machine's own 32-bit Wine where it runs, else the one in the i386 root
# that tools/test.sh makes (or the one HOSTNAME_CHECK_I386_ROOT names). Either has a (win32) prefix
# of its own.
wine32=(/usr/lib/wine/wine)
wineserver32=(wineserver)
which32="wine"
i386_root=${HOSTNAME_CHECK_I386_ROOT:-/var/cache/hostname_check/i386-root}
if ! "${wine32[@]}" --version >/dev/null 2>&1 && [[ -f $i386_root/.complete ]]; then
  wine32=("$root/tests/i386_root.sh" run "$i386_root" /usr/lib/wine/wine)
  wineserver32=("$root/tests/i386_root.sh" run "$i386_root" /usr/bin/wineserver)
  which32="wine in an i386 root"
fi
in_prefix32() { WINEPREFIX=$work/wineprefix32 WINEARCH=win32 "$@"; }
# qemu-user for aarch64 programs, as Debian's qemu-user-static registers it (the interpreter opened
# at once, so that it serves inside a chroot too), unless it already is; undone at the end.
binfmt=/proc/sys/fs/binfmt_misc
binfmt_undo=()
register_aarch64() {
  if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" && binfmt_undo=(umount "$binfmt")
  fi
  if [[ ! -e $binfmt/qemu-aarch64 ]]; then
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
    binfmt_undo=(sh -c "echo -1 > $binfmt/qemu-aarch64 && ${binfmt_undo[*]:-true}")
  fi
}
trap 'wineserver -k 2>/dev/null || true; in_prefix32 "${wineserver32[@]}" -k 2>/dev/null || true
  [[ ${#binfmt_undo[@]} -eq 0 ]] || "${binfmt_undo[@]}" || true; rm -rf "$work"' EXIT

# Why the 32-bit loader cannot start a program here, or nothing.
wine32_cannot_run() {
  local why
  why=$("$root/tests/i386_root.sh" probe) || { echo "$why"; return; }
  [[ -e ${wine32[0]} ]] || {
    echo "${wine32[0]} is not installed (wine32:i386), and no i386 root with 32-bit Wine was named (HOSTNAME_CHECK_I386_ROOT)"
    return
  }
  why=$(in_prefix32 "${wine32[@]}" --version 2>&1) || echo "${wine32[*]} --version failed: $why"
}
why32=$(wine32_cannot_run)

# Four lines, the last three in their fixed form, and status 0.
four_lines() {
  local out=$1
  [[ $(wc -l <"$out") -eq 4 ]] &&
    grep -q "^The Hostname from command is '.*'\.$(printf '\r')\?\$" "$out" &&
    grep -q "^The test results were '\(good\|bad\)'\." "$out"
}

# The folders a README names on a drive: each must be Program Files, which only administrators can
# change; one made at a drive's root lets every user replace what an administrator then runs.
only_program_files() {
  ! tr -d '\r' <"$1" | grep -o '[A-Za-z]:\\[^\\"]*' | grep -qv '^[A-Za-z]:\\Program Files$'
}

check "the checksum beside the .deb" sh -c "cd build/release && sha256sum -c hostname-check_*.SHA256SUMS"
check "the checksum beside the collection" sh -c "cd build/collection && sha256sum -c hostname_check-fleet-*.SHA256SUMS"
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

# The RPMs: rpmlint as the RPM distributions set it up, and what each says it holds and needs.
check "the checksums beside the RPMs" sh -c "cd build/rpm && sha256sum -c hostname-check-*.SHA256SUMS"
check "rpmlint finds no error or warning but those tools/rpmlint.toml explains" sh -c \
  "rpmlint -c tools/rpmlint.toml build/rpm/hostname-check-*.rpm | grep ' 2 packages .* 0 errors, 0 warnings'"
for machine in "${machines[@]}"; do
  rpm=$(ls build/rpm/hostname-check-*-1."$machine".rpm)
  check "the $machine RPM requires hostname and no more than rpm 4.6's features" sh -c \
    "[ \"\$(rpm -qpR '$rpm' | grep -v '^rpmlib(\(CompressedFileNames\|FileDigests\|PayloadFilesHavePrefix\))')\" = hostname ]"
  check "the $machine RPM holds the executable, the manual page and the licence (as licence)" sh -c \
    "[ \"\$(rpm -qpl '$rpm' | tr '\n' ' ')\" = '/usr/bin/hostname_check /usr/share/licenses/hostname-check \
/usr/share/licenses/hostname-check/LICENSE /usr/share/man/man1/hostname_check.1.gz ' ] &&
    [ \"\$(rpm -qpL '$rpm')\" = /usr/share/licenses/hostname-check/LICENSE ]"
  check "the $machine RPM is for $machine, not relocatable, with the licence tag, the URL and the changelog" sh -c \
    "[ \"\$(rpm -qp --qf '%{ARCH} %{PREFIXES} %{LICENSE} %{URL}' '$rpm')\" = \\
      '$machine (none) MIT https://hostname-check.invalid/hostname_check' ] &&
    rpm -qp --changelog '$rpm' | grep -q '^\* .* - [0-9.]*-1\$'"
  check "every member of the $machine RPM, and its build, has the commit's time" sh -c \
    "[ \"\$( (rpm -qp --dump '$rpm' | awk '{ print \$3 }'; rpm -qp --qf '%{BUILDTIME}\n' '$rpm') | sort -u)\" = \\
      \"\${SOURCE_DATE_EPOCH:-\$(git log -1 --format=%ct)}\" ]"
done

# Each RPM installed, as on a system with no C library at all: a root folder with nothing but
# busybox's static shell and hostname, and the folders the system's packages own. No package there
# provides hostname, so rpm installs it only when told to ignore that; and the aarch64 one only
# when told to ignore the machine, then runs it under qemu-user.
rpm_root() { rpm --root "$work/rpmroot" --dbpath /var/lib/rpm "$@" 2>"$work/rpm.err"; }
root_files() { (cd "$work/rpmroot" && find . ! -path './var*' -printf '%p %m %s %l\n' | sort); }
refused_for_hostname() {
  ! rpm_root -i "$@" && grep -q 'hostname is needed by hostname-check' "$work/rpm.err" &&
    ! rpm_root -q hostname-check >/dev/null
}
run_in_root() {
  env -i PATH=/usr/bin:/bin "$(command -v chroot)" "$work/rpmroot" /bin/sh -c 'cd /tmp && exec hostname_check' \
    >"$work/out"
}
four_lines_good() { four_lines "$1" && grep -q "^The test results were 'good'\.\$" "$1"; }
nothing_changed() { local out; out=$(rpm_root -V --nodeps hostname-check) && [[ -z $out ]]; }
removed_leaving_nothing() {
  rpm_root -e hostname-check && ! rpm_root -q hostname-check >/dev/null && [[ $(root_files) == "$(<"$work/before")" ]]
}
# busybox-static from Debian's registry, as the fleet test takes it: this machine's own busybox, if
# it has one, stays as it is.
fetch_busybox() {
  (cd "$work" && apt-get download -q busybox-static >/dev/null 2>&1) &&
    dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox" && test -x "$work/busybox/bin/busybox"
}
check "busybox-static is fetched from Debian's registry" fetch_busybox
register_aarch64
for machine in "${machines[@]}"; do
  rpm=$(ls build/rpm/hostname-check-*-1."$machine".rpm)
  other=()
  [[ $machine == "$(uname -m)" ]] || other=(--ignorearch)
  rm -rf "$work/rpmroot"
  mkdir -p "$work"/rpmroot/{bin,etc,tmp,usr/bin,usr/share/man/man1,usr/share/licenses}
  cp "$work/busybox/bin/busybox" "$work/rpmroot/bin/"
  ln -s busybox "$work/rpmroot/bin/sh"
  ln -s busybox "$work/rpmroot/bin/hostname"
  hostname >"$work/rpmroot/etc/hostname"
  root_files >"$work/before"
  check "rpm refuses the $machine RPM while no package provides hostname" refused_for_hostname "${other[@]}" "$rpm"
  check "rpm installs the $machine RPM in the scratch root" rpm_root -i --nodeps "${other[@]}" "$rpm"
  check "the $machine check runs there from PATH" run_in_root
  check "it prints the four lines, good" four_lines_good "$work/out"
  check "it leaves no file behind" test -z "$(ls -A "$work/rpmroot/tmp")"
  check "the installed executable is the static one for $machine" cmp "$work/rpmroot/usr/bin/hostname_check" \
    "build/fleet/hostname_check-$machine"
  check "rpm -V finds nothing changed in the $machine RPM's files" nothing_changed
  check "rpm removes the $machine RPM and leaves the root as it was" removed_leaving_nothing
done

# The download folder: both zips and the lists beside them, unpacked there, beside the other
# packages.
mkdir "$work/download"
cp "$deb" build/release/hostname-check_*.SHA256SUMS "${zips[@]}" build/windows-*/hostname-check-*.SHA256SUMS \
  build/rpm/hostname-check-*.rpm build/rpm/hostname-check-*.SHA256SUMS "$work/download"
check "no member of a zip has the name of another's or of anything published beside them" sh -c \
  "cd '$work/download' && { ls; for zip in *.zip; do unzip -Z1 \"\$zip\"; done; } | sort | uniq -d | grep -q . && exit 1 || exit 0"
for zip in "${zips[@]}"; do
  (cd "$work/download" && unzip -q "$(basename "$zip")" </dev/null)
done
check "the lists beside the zips cover each zip and its unpacked executable" sh -c \
  "cd '$work/download' && sha256sum -c hostname-check-*-win*.SHA256SUMS && [ \$(cat hostname-check-*-win*.SHA256SUMS | wc -l) -eq 4 ]"
for folder in "$work"/download/hostname-check-*-win32 "$work"/download/hostname-check-*-win64; do
  name=$(basename "$folder")
  check "$name holds the executable, README.txt, LICENSE.txt and SHA256SUMS.txt" \
    test -f "$folder/hostname_check.exe" -a -f "$folder/README.txt" -a -f "$folder/LICENSE.txt" \
    -a -f "$folder/SHA256SUMS.txt"
  check "$name's SHA256SUMS.txt is the executable's" sh -c "cd '$folder' && sha256sum -c SHA256SUMS.txt"
  for text in README.txt LICENSE.txt SHA256SUMS.txt; do
    check "$name's $text has CRLF line ends" sh -c "[ \$(grep -c \$(printf '\r')\$ '$folder/$text') -eq \$(wc -l < '$folder/$text') ]"
  done
  check "$name's README.txt is under 100 lines of at most 78 characters" sh -c \
    "[ \$(wc -l < '$folder/README.txt') -lt 100 ] && ! tr -d '\r' < '$folder/README.txt' | grep -q '.\{79\}'"
  check "$name's README.txt names no folder at the root of a drive" only_program_files "$folder/README.txt"
done

"$wine64" wineboot -i >/dev/null 2>&1 || true
ran="x64 (wine64)"
check "the x64 executable runs under wine64" sh -c "cd '$work/run' && '$wine64' '$work'/download/hostname-check-*-win64/hostname_check.exe > '$work/out'"
check "it prints the four lines" four_lines "$work/out"
if [[ -z $why32 ]]; then
  ran="$ran and x86 ($which32)"
  check "the x86 executable runs under $which32" in_prefix32 sh -c 'cd "$1/run" && shift && exec "$@" >"$0"' \
    "$work/out" "$work" "${wine32[@]}" "$work"/download/hostname-check-*-win32/hostname_check.exe
  check "it prints the four lines" four_lines "$work/out"
else
  skip "the x86 executable under wine: $why32"
fi

# Signing: a throwaway self-signed certificate, a build with signing on, and a signature that
# osslsigncode verifies, given that certificate as the one it may trust. The x64 build, which runs
# under Wine on any x86-64 kernel; both builds sign the same way.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=hostname_check test" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cmake -S . -B "$work/signed" --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DBUILD_TESTING=OFF -DHOSTNAME_CHECK_WERROR=ON \
  -DHOSTNAME_CHECK_SIGN_CERT="$work/cert.pem" -DHOSTNAME_CHECK_SIGN_KEY="$work/key.pem" >/dev/null
cmake --build "$work/signed" >/dev/null
check "osslsigncode verifies the signature" sh -c "osslsigncode verify -CAfile '$work/cert.pem' \
  -in '$work/signed/hostname_check.exe' | grep -qx 'Signature verification: ok'"
check "the signed executable still runs" sh -c "cd '$work/run' && '$wine64' '$work/signed/hostname_check.exe' > '$work/out'"
# A wrong password: the build fails and leaves no unsigned executable, with Ninja too.
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout pass:right -out "$work/codesign.p12"
echo wrong >"$work/password.txt"
cmake -S . -B "$work/badsign" -G Ninja --toolchain cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DBUILD_TESTING=OFF -DHOSTNAME_CHECK_SIGN_PKCS12="$work/codesign.p12" \
  -DHOSTNAME_CHECK_SIGN_PASSWORD_FILE="$work/password.txt" >/dev/null
check "a failed signing fails the build and leaves no executable" sh -c \
  "! cmake --build '$work/badsign' >/dev/null 2>&1 && ! test -e '$work/badsign/hostname_check.exe'"

# The same commit, built again in another folder a little later, gives the same bytes: its files
# with the times of a fresh checkout, as another machine's would have.
mkdir "$work/again"
tar -C "$root" --exclude=./build -cf - . | tar -C "$work/again" -xmf -
(cd "$root" && sha256sum "${published[@]}") >"$work/first.sums"
(cd "$work/again" && build_all)
check "a second build in another folder gives the same ${#published[@]} files, byte for byte" \
  sh -c "cd '$work/again' && sha256sum -c '$work/first.sums'"

echo "Windows under Wine: $ran ran${why32:+; x86 ($which32) skipped: $why32}"
echo "packages: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
