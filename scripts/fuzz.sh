#!/bin/bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the kept inputs of fuzz/corpus, then
# fuzzes each target for SECONDS (default 60). A new crash fails the run;
# keep its input under fuzz/corpus/TARGET/ once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWIRELANE_FUZZ=ON -DWIRELANE_GUI=OFF -DWIRELANE_TESTS=OFF >/dev/null
cmake --build $build -j2 --target fuzz_frames fuzz_text fuzz_payload fuzz_savefile
for target in fuzz_frames fuzz_text fuzz_payload fuzz_savefile; do
  corpus=$(mktemp -d)
  [ -d fuzz/corpus/$target ] && cp -r fuzz/corpus/$target/. "$corpus"/
  echo "== $target: replaying $(ls "$corpus" | wc -l) kept inputs, then fuzzing ${seconds}s"
  set +e
  $build/fuzz/$target -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/$target-" "$corpus" >"$build/$target.log" 2>&1
  rc=$?
  set -e
  grep -E "^(stat::number_of_executed_units|SUMMARY)" "$build/$target.log" || true
  if [ $rc -ne 0 ]; then
    tail -40 "$build/$target.log"
    echo "$target found a crash: see $build/$target-*"
    exit 1
  fi
  rm -rf "$corpus"
done
