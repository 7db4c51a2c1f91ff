#!/bin/sh
# Starts or stops a Wine session that Windows tests share:
#   wine_session.sh start|stop PREFIX
# Starting makes a fresh prefix with a persistent wineserver, names the machine WS01 as the tests'
# private UTS namespaces do, and exports the TCP/IP parameters so that tests can restore them.
# Every step runs under $WINE with $WINESERVER, which CTest sets with the rest of the session's
# environment; either missing ends the step at once, named, rather than another Wine run it. A step
# that fails says which, with what Wine printed. Where $WINE cannot start at all (a 32-bit loader
# on a kernel without 32-bit programs, or none installed), there is no session to start: the tests
# themselves say why they are skipped.
set -u
command=$1
export WINEPREFIX=$2 WINEDEBUG=-all
wine=${WINE:?is not set: the session takes its Wine loader from CTest}
wineserver=${WINESERVER:?is not set: the session takes its wineserver from CTest}
parameters='HKLM\System\CurrentControlSet\Services\Tcpip\Parameters'

# Runs a step with its output in a file (wineserver -p stays, holding what it was given); on
# failure prints the step, its status and its output, and ends the start.
step() {
  "$@" >"$WINEPREFIX/step.log" 2>&1 || {
    status=$?
    printf 'wine_session: %s failed (status %s):\n' "$*" "$status" >&2
    cat "$WINEPREFIX/step.log" >&2
    [ ! -s "$WINEPREFIX/wineboot.log" ] || { echo 'wineboot -i said:' && cat "$WINEPREFIX/wineboot.log"; } >&2
    exit 1
  }
}

case $command in
start)
  if ! version=$("$wine" --version 2>&1); then
    echo "wine_session: no session: $wine cannot start: $version"
    exit 0
  fi
  echo "wine_session: $version ($wine)"
  "$wineserver" -k 2>/dev/null
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  step "$wineserver" -p
  # On a kernel without 32-bit programs, wine64's wineboot says that it cannot start the 32-bit
  # rundll32; the prefix works all the same, as the steps after it show.
  "$wine" wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1
  step "$wine" reg add 'HKLM\System\CurrentControlSet\Control\ComputerName\ActiveComputerName' \
    /v ComputerName /t REG_SZ /d WS01 /f
  step "$wine" reg export "$parameters" "$WINEPREFIX/tcpip.reg" /y
  ;;
stop)
  "$wineserver" -k 2>/dev/null
  exit 0
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
