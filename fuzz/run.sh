#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan, UBSan, libFuzzer) and runs each from its corpus.
#   fuzz/run.sh [SECONDS]     seconds per target (default 60); CI runs a short bounded pass,
#                             a longer local run is the same command with more seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
./build.sh deps
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSB_FUZZ=ON -DSB_FIRMWARE=OFF >/dev/null
cmake --build build-fuzz
status=0
for target in smbus_execute table_walkers prompt scenario; do
  corpus="build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "== fuzz_$target: ${seconds}s from fuzz/corpus/$target"
  if ! build-fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$corpus" "fuzz/corpus/$target" 2>&1 | tee "build-fuzz/$target.log" | grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|==[0-9]+==ERROR|SUMMARY|Done)'; then
    :
  fi
  if grep -qE '==[0-9]+==ERROR|SUMMARY: |deadly signal|Test unit written' "build-fuzz/$target.log"; then
    echo "fuzz_$target FAILED (see build-fuzz/$target.log)"
    status=1
  fi
done
exit $status
