#!/usr/bin/env bash
# Checks a built Windows plugin DLL: the export directory names the library
# "trvplugin-teplokom.spl" and exports exactly the seven entry points; every
# import from trvplugin.dll is by ordinal, with an ordinal the host defines;
# the DLL needs no runtime DLL beside the system's and the host's. Given the
# emulator's trvplugin.dll too: it exports every host ordinal, none by name.
set -u
objdump=$1 dll=$2 def=$3 host=${4:-}
dump=$("$objdump" -p "$dll") || { echo "objdump failed on $dll"; exit 1; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }

echo "$dump" | grep -Eq '^Name[[:space:]]+[0-9a-f]+ trvplugin-teplokom\.spl$' ||
  bad "export directory does not name the library trvplugin-teplokom.spl"

exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[ *[0-9]+\]/ {print $NF}' | sort)
expected=$(printf '%s\n' KORVA_PLUGIN_CLOSE KORVA_PLUGIN_CREATE KORVA_PLUGIN_INIT KORVA_PLUGIN_READ \
  KORVA_PLUGIN_RUN KORVA_PLUGIN_SLAVEPROCESSING KORVA_PLUGIN_WRITE | sort)
[ "$exports" = "$expected" ] || bad "exports are [$(echo $exports)], expected [$(echo $expected)]"

# Each import line: thunk value, hint or ordinal, member name. An import by
# ordinal has the thunk's top bit set and the ordinal in its low 16 bits (the
# middle column is printed in decimal on PE32 and in hex on PE32+, so it is not used).
imports=$(echo "$dump" | sed -n '/DLL Name: trvplugin.dll/,/^$/p' | awk 'NR > 2 && NF >= 3 {print $1, $3}')
[ -n "$imports" ] || bad "no import from trvplugin.dll"
ordinals=$(sed -n 's/^Host[A-Za-z]* @\([0-9]*\) NONAME$/\1/p' "$def")
imported=""
while read -r thunk name; do
  [ -z "$thunk" ] && continue
  value=$((16#$thunk))
  if [ ${#thunk} -le 8 ]; then by_ordinal=$(( (value & 0x80000000) != 0 )); else by_ordinal=$(( value < 0 )); fi
  if [ "$by_ordinal" -ne 1 ] || [ "$name" != "<none>" ]; then bad "trvplugin.dll import by name: $name"; continue; fi
  ord=$((value & 0xFFFF))
  imported="$imported $ord"
  echo "$ordinals" | grep -qx "$ord" || bad "ordinal $ord is not a host operation"
done <<EOF_IMPORTS
$imports
EOF_IMPORTS
# HostLog [5] is called by every INIT.
case " $imported " in *" 5 "*) ;; *) bad "HostLog is not imported as ordinal 5" ;; esac

dlls=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
for d in $dlls; do
  case "$d" in
    KERNEL32.dll|msvcrt.dll|trvplugin.dll|api-ms-win-*) ;;
    *) bad "depends on $d, which the host machine may not have" ;;
  esac
done

if [ -n "$host" ]; then
  hdump=$("$objdump" -p "$host") || { echo "objdump failed on $host"; exit 1; }
  hexported=$(echo "$hdump" | sed -n 's/.*+base\[ *\([0-9]*\)\] [0-9a-f]* Export RVA.*/\1/p')
  for ord in $ordinals; do
    echo "$hexported" | grep -qx "$ord" || bad "$host does not export ordinal $ord"
  done
  named=$(echo "$hdump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$NF ~ /^_?Host[A-Z]/ {print $NF}')
  [ -z "$named" ] || bad "$host exports host operations by name: $(echo $named)"
fi

[ $fail -eq 0 ] && echo "ok: exports, imports by ordinal and dependencies of $dll"
exit $fail
