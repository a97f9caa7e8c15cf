#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan, UBSan, libFuzzer; the image target without ASan, see
# below) and runs each from its corpus.
#   fuzz/run.sh [SECONDS]       each target in turn for SECONDS (default 60); CI runs a short pass
#   fuzz/run.sh --execs N       each target to N inputs, the targets in parallel on the cores
# Either way it ends with a table: inputs, inputs a second, coverage (edges) and findings per
# target; the exit status is 1 when any target found something (its log names the input).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=seconds
limit=60
if [ "${1:-}" = "--execs" ]; then
  mode=execs
  limit=${2:?"--execs wants a number of inputs"}
elif [ -n "${1:-}" ]; then
  limit=$1
fi
host_targets=(smbus_execute table_walkers prompt scenario volume)
targets=("${host_targets[@]}" sb_pei_image)

./build.sh deps
# Through ccache, as ./build.sh configures its builds (deps installs it).
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
cmake -S . -B build-fuzz -G Ninja "${launcher[@]}" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSB_FUZZ=ON -DSB_FIRMWARE=OFF >/dev/null
cmake --build build-fuzz --target "${host_targets[@]/#/fuzz_}"
# The image target's oracle is the simulator's memory check of SbPei.efi; AddressSanitizer
# watches the simulator's own memory (the other targets and the tests keep it there) and makes
# every start of the emulator several times dearer: that target is built without it.
cmake -S . -B build-fuzz-image -G Ninja "${launcher[@]}" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSB_FUZZ=ON -DSB_FIRMWARE=ON -DSB_SANITIZE=OFF >/dev/null
cmake --build build-fuzz-image --target fuzz_sb_pei_image

run_target() {
  local target=$1 corpus="build-fuzz/corpus/$1" budget
  mkdir -p "$corpus" "build-fuzz/findings/$target"
  # The volume target starts from the simulator's built volumes too, where they are built,
  # without their erased free space (half of each volume, copied and parsed at every run).
  if [ "$target" = volume ]; then
    for fv in build/edk2/SIMPEIFV*.Fv; do
      if [ -f "$fv" ]; then python3 fuzz/make_volume_seed.py --trim "$fv" "$corpus/$(basename "$fv" .Fv)-trimmed.Fv"; fi
    done
  fi
  if [ "$mode" = execs ]; then budget="-runs=$limit"; else budget="-max_total_time=$limit"; fi
  # The emulator keeps the code it translated from one input to the next; leak checking takes
  # each such growth for a leak and checks the whole heap (15 times slower).
  local options=() build=build-fuzz
  if [ "$target" = sb_pei_image ]; then options=(-detect_leaks=0) build=build-fuzz-image; fi
  # An input's share of the mutations shrinks with the time it takes: an input whose
  # controller never answers (10,000 polls) then no longer has its slow descendants take most
  # of the run (the SMBus target ran twice as many inputs in 45 s and found as many features).
  options+=(-entropic_scale_per_exec_time=1)
  $build/fuzz/fuzz_"$target" "$budget" "${options[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/findings/$target/" "$corpus" "fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1 || true
}

if [ "$mode" = execs ]; then
  echo "== each target to $limit inputs, $(nproc) at a time"
  for target in "${targets[@]}"; do echo "$target"; done |
    xargs -P "$(nproc)" -I{} bash -c "$(declare -f run_target); mode=$mode limit=$limit run_target {}"
else
  for target in "${targets[@]}"; do
    echo "== fuzz_$target: ${limit}s from fuzz/corpus/$target"
    run_target "$target"
  done
fi

status=0
printf '\n| target | inputs | inputs a second | coverage (edges) | findings |\n|---|---:|---:|---:|---|\n'
for target in "${targets[@]}"; do
  log="build-fuzz/$target.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  edges=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | cut -d' ' -f2)
  findings=none
  if grep -qE '==[0-9]+==ERROR|SUMMARY: |deadly signal|Test unit written' "$log"; then
    findings="FOUND: $(grep -oE 'Test unit written to [^ ]+' "$log" | head -n 1 | cut -d' ' -f5) (see $log)"
    status=1
  fi
  printf '| fuzz_%s | %s | %s | %s | %s |\n' "$target" "${runs:-?}" "${rate:-?}" "${edges:-?}" "$findings"
done
exit $status
