#!/bin/sh
# Starts or stops the Wine session that the Windows tests share:
#   wine_session.sh start|stop PREFIX
# Starting makes a fresh prefix with a persistent wineserver, names the machine WS01 as the tests'
# private UTS namespaces do, and exports the TCP/IP parameters so that tests can restore them.
set -eu
command=$1
export WINEPREFIX=$2 WINEDEBUG=-all
parameters='HKLM\System\CurrentControlSet\Services\Tcpip\Parameters'

case $command in
start)
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKLM\System\CurrentControlSet\Control\ComputerName\ActiveComputerName' \
    /v ComputerName /t REG_SZ /d WS01 /f >/dev/null
  wine reg export "$parameters" "$WINEPREFIX/tcpip.reg" /y >/dev/null
  ;;
stop)
  wineserver -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
