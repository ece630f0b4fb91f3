#!/usr/bin/env bash
# Builds the fuzz preset and, for each libFuzzer target, replays its checked-in seed
# corpus and every regression input, then fuzzes for a fixed short time.
#   scripts/fuzz.sh [MODEL_SECONDS [LINK_SECONDS]]     (defaults 20 and 10)
# New inputs go to a scratch corpus under build/fuzz/, never into the tree; a crash
# leaves its input in build/fuzz/artifacts/ (copy it to fuzz/regressions/TARGET/).
set -euo pipefail
cd "$(dirname "$0")/.."
model_seconds=${1:-20}
link_seconds=${2:-10}
jobs=${TRV_JOBS:-$(nproc)}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

out=build/fuzz
mkdir -p "$out/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in vkt7_fuzzer vkt5_fuzzer vkt9_fuzzer vkt7_link_fuzzer vkt5_link_fuzzer vkt9_link_fuzzer; do
  seconds=$model_seconds
  [[ $target == *_link_fuzzer ]] && seconds=$link_seconds
  corpus=fuzz/corpus/$target
  regressions=fuzz/regressions/$target
  mkdir -p "$out/scratch/$target"
  inputs=()
  for dir in "$corpus" "$regressions"; do
    [ -d "$dir" ] && while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$dir" -type f -print0)
  done
  echo "== $target: replay of ${#inputs[@]} inputs"
  if [ "${#inputs[@]}" -gt 0 ]; then
    "$out/fuzz/$target" -artifact_prefix="$out/artifacts/$target-" "${inputs[@]}" >"$out/$target-replay.log" 2>&1 ||
      { tail -n 40 "$out/$target-replay.log"; exit 1; }
  fi
  echo "== $target: ${seconds} s of fuzzing"
  dirs=("$out/scratch/$target")
  [ -d "$corpus" ] && dirs+=("$corpus")
  "$out/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=1536 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$target-" "${dirs[@]}" >"$out/$target-run.log" 2>&1 ||
    { tail -n 40 "$out/$target-run.log"; exit 1; }
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$out/$target-run.log" | tr '\n' ' '
  echo
done
echo "== fuzzing passed"
