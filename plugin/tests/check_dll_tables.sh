#!/bin/sh
# Checks a built Windows plugin DLL: the export directory names the library
# "trvplugin-teplokom.spl" and exports exactly the seven entry points; every
# import from trvplugin.dll is by ordinal, with an ordinal the host defines;
# the DLL needs no runtime DLL beside the system's and the host's.
set -u
objdump=$1 dll=$2 def=$3
dump=$("$objdump" -p "$dll") || { echo "objdump failed on $dll"; exit 1; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }

echo "$dump" | grep -Eq '^Name[[:space:]]+[0-9a-f]+ trvplugin-teplokom\.spl$' ||
  bad "export directory does not name the library trvplugin-teplokom.spl"

exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[ *[0-9]+\]/ {print $NF}' | sort)
expected=$(printf '%s\n' KORVA_PLUGIN_CLOSE KORVA_PLUGIN_CREATE KORVA_PLUGIN_INIT KORVA_PLUGIN_READ \
  KORVA_PLUGIN_RUN KORVA_PLUGIN_SLAVEPROCESSING KORVA_PLUGIN_WRITE | sort)
[ "$exports" = "$expected" ] || bad "exports are [$(echo $exports)], expected [$(echo $expected)]"

imports=$(echo "$dump" | sed -n '/DLL Name: trvplugin.dll/,/^$/p' | awk 'NR > 2 && NF >= 3 {print $2, $3}')
[ -n "$imports" ] || bad "no import from trvplugin.dll"
ordinals=$(sed -n 's/^Host[A-Za-z]* @\([0-9]*\) NONAME$/\1/p' "$def")
echo "$imports" | while read -r ord name; do
  [ -z "$ord" ] && continue
  [ "$name" = "<none>" ] || { echo "FAIL: trvplugin.dll import by name: $name"; exit 1; }
  echo "$ordinals" | grep -qx "$ord" || { echo "FAIL: ordinal $ord is not a host operation"; exit 1; }
done || fail=1
# HostLog [5] is called by every INIT.
echo "$imports" | grep -q '^5 <none>$' || bad "HostLog is not imported as ordinal 5"

dlls=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
for d in $dlls; do
  case "$d" in
    KERNEL32.dll|msvcrt.dll|trvplugin.dll|api-ms-win-*) ;;
    *) bad "depends on $d, which the host machine may not have" ;;
  esac
done

[ $fail -eq 0 ] && echo "ok: exports, imports by ordinal and dependencies of $dll"
exit $fail
