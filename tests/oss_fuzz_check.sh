#!/usr/bin/env bash
# The fuzzing service's build (.clusterfuzzlite/build.sh) run here with the variables such a
# service sets for libFuzzer with AddressSanitizer, then every target it put into $OUT run for a
# few seconds on its seed corpus (and dictionary): each must start, run and find nothing.
#   oss_fuzz_check.sh SOURCE_DIR [SECONDS]
set -euo pipefail
source_dir=$(realpath "$1")
seconds=${2:-5}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export CC=clang-14 CXX=clang++-14
export CFLAGS="-O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=address -fsanitize-address-use-after-scope -fsanitize=fuzzer-no-link"
export CXXFLAGS="$CFLAGS"
export LIB_FUZZING_ENGINE="-fsanitize=fuzzer"
export OUT="$scratch/out" WORK="$scratch/work" SRC="$scratch/src"
mkdir -p "$SRC"
ln -s "$source_dir" "$SRC/southbridge-bench"
"$source_dir/.clusterfuzzlite/build.sh" >"$scratch/build.log" 2>&1 || { tail -n 30 "$scratch/build.log"; exit 1; }
ran=0
for fuzzer in "$OUT"/fuzz_*; do
  case "$fuzzer" in *.zip | *.dict | *.options) continue ;; esac
  name=$(basename "$fuzzer")
  test -s "$OUT/${name}_seed_corpus.zip" || { echo "$name: no seed corpus"; exit 1; }
  mkdir -p "$scratch/corpus/$name"
  (cd "$scratch/corpus/$name" && unzip -q "$OUT/${name}_seed_corpus.zip")
  dict=()
  [ -f "$OUT/$name.dict" ] && dict=(-dict="$OUT/$name.dict")
  options=()  # the service's per-target flags ([libfuzzer] name=value)
  [ -f "$fuzzer.options" ] && mapfile -t options < <(sed -n 's/^\([a-z_]*\)=\(.*\)$/-\1=\2/p' "$fuzzer.options")
  "$fuzzer" "${dict[@]}" "${options[@]}" -max_total_time="$seconds" -timeout=10 "$scratch/corpus/$name" >"$scratch/$name.log" 2>&1 ||
    { tail -n 30 "$scratch/$name.log"; echo "$name failed"; exit 1; }
  grep -q "Done [0-9]* runs" "$scratch/$name.log" || { tail -n 5 "$scratch/$name.log"; exit 1; }
  echo "$name: $(grep -o 'Done [0-9]* runs' "$scratch/$name.log")${dict:+ with its dictionary}"
  ran=$((ran + 1))
done
# Five host targets, and the image target where the firmware toolchain is there to build it.
expected=5
[ -f "$OUT/SbPei.efi" ] && expected=6
[ "$ran" -eq "$expected" ] || { echo "expected $expected targets in \$OUT, found $ran"; exit 1; }
