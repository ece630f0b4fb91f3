#!/usr/bin/env bash
# wine-run.sh WINE PREFIX PROGRAM [ARGS...]: runs a Windows console program under
# wine64 in a throwaway prefix, at UTC+3 (the zone wine gives the Windows side),
# without GUI, network or the mono/gecko installers, and shuts the prefix's
# wineserver down afterwards. Exit status: the program's.
set -u
wine=$1 prefix=$2
shift 2
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe=' DISPLAY=
export TZ='<+03>-3'
mkdir -p "$WINEPREFIX"
server=$(dirname "$wine")/wineserver64
[ -x "$server" ] || server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver
"$wine" "$@"
status=$?
"$server" -k 2>/dev/null || true
exit $status
