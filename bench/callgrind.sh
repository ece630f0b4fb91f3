#!/usr/bin/env bash
# Instructions the plugin spends per device-cycle and per wire byte, beside the
# CRC alone over the same bytes, counted by callgrind: exact, unlike times on a
# shared machine. Counted: the seven entry points as called inside one host
# Read (TimedCycle), less what they spend in the host operations and in the
# exchange and notify callbacks.
#   bench/callgrind.sh [BUILD_DIR] [BENCHMARK_REGEX]
set -euo pipefail
build=${1:-build/default}
filter=${2:-.}
bench=$build/bench/cycle_bench
[[ -x $bench ]] || { echo "build $bench first (cmake --build --preset default --target cycle_bench)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Ir/cycle: the plugin's own; all/cycle: with the emulator's side inside TimedCycle.
printf '%-36s %12s %11s %9s %12s\n' benchmark Ir/cycle wire_bytes Ir/byte all/cycle
for name in $("$bench" --benchmark_list_tests | grep -E "$filter"); do
  out=$work/cg.out
  valgrind --tool=callgrind --callgrind-out-file="$out" --compress-strings=no --compress-pos=no \
    --toggle-collect='*TimedCycle*' --toggle-collect='*CrcFloorPass*' "$bench" \
    --benchmark_filter="^${name}\$" --benchmark_min_time=0.000001 --benchmark_repetitions=3 \
    --benchmark_format=json >"$work/run.json" 2>"$work/valgrind.log"
  # Call edges carry their inclusive cost on the line after "calls=".
  ir=$(awk '
    /^fn=/  { caller = substr($0, 4) }
    /^cfn=/ { callee = substr($0, 5) }
    /^calls=/ {
      getline; cost = $2
      if (callee ~ /^KORVA_PLUGIN_/) plugin += cost
      else if (callee ~ /^Host[A-Z]|ExchangeThunk|NotifyThunk/ && caller !~ /^Host[A-Z]|ExchangeThunk|NotifyThunk/) host += cost
      else if (callee ~ /CrcFloorPass/) crc += cost
    }
    /^(summary|totals):/ { total = $2 }
    END { print (plugin > 0 ? plugin - host : total), total }' "$out")
  cycles=$(awk -F'[:,]' '/"run_type"/ {it = ($2 ~ /iteration/)} /"iterations"/ && it {n += $2} END {print n}' "$work/run.json")
  bytes=$(awk -F'[:,]' '/"wire_bytes"/ {print $2 + 0; exit}' "$work/run.json")
  awk -v n="$name" -v ir="${ir% *}" -v all="${ir#* }" -v c="$cycles" -v b="${bytes:-0}" 'BEGIN {
    per = ir / c; printf "%-36s %12.0f %11.0f %9.1f %12.0f\n", n, per, b, (b > 0 ? per / b : 0), all / c }'
done
