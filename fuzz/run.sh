#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each for a bounded time: fuzz_state
# and fuzz_replay over the decoders and playback, fuzz_paths over the engine's fast paths
# against their plain forms on decoded states.
#   fuzz/run.sh [seconds per target]   (default 60)
# Crashes found are written to fuzz/crashes/; add each as a regression input under
# fuzz/corpus/<target>/ and as a test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out="${FUZZ_BUILD:-build/fuzz}"
mkdir -p "$out" fuzz/crashes
CXX="${FUZZ_CXX:-clang++}"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Igame/src -Itests/cpp)
engine=(game/src/*.cpp game/src/tet/*.cpp game/src/bot/*.cpp)
for target in fuzz_state fuzz_replay fuzz_paths; do
  "$CXX" "${flags[@]}" "fuzz/$target.cpp" "${engine[@]}" -o "$out/$target"
done
for target in fuzz_state fuzz_replay fuzz_paths; do
  work="$out/corpus-$target"
  mkdir -p "$work"
  # fuzz_paths decodes states as fuzz_state does and starts from the same inputs.
  seeds=fuzz/corpus/$target
  if [[ $target == fuzz_paths ]]; then seeds=fuzz/corpus/fuzz_state; fi
  echo "fuzzing $target for ${seconds}s"
  set +e
  "$out/$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=fuzz/crashes/ -print_final_stats=1 "$work" "$seeds" \
    > "$out/$target.log" 2>&1
  status=$?
  set -e
  grep -E "^(#[0-9]+ *DONE|stat::number_of_executed_units|==[0-9]+==|SUMMARY)" "$out/$target.log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzzing $target failed (exit $status); inputs in fuzz/crashes/:" >&2
    tail -n 40 "$out/$target.log" >&2
    exit 1
  fi
done
