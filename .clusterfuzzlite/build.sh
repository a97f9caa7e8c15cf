#!/bin/bash -eu
# The fuzz targets as OSS-Fuzz and ClusterFuzzLite build them: the compiler, its flags and the
# fuzzing engine come from the environment ($CC, $CXX, $CFLAGS, $CXXFLAGS, $LIB_FUZZING_ENGINE),
# and every target goes to $OUT with its seed corpus (<target>_seed_corpus.zip) and, where one
# helps, a dictionary (<target>.dict). $SRC/southbridge-bench is the checkout; $WORK a scratch
# folder for the build (both default to where this script is run from, for a local run).
here=$(cd "$(dirname "$0")/.." && pwd)
src=${SRC:+$SRC/southbridge-bench}
src=${src:-$here}
[ -d "$src/fuzz" ] || src=$here
work=${WORK:-$src/build-oss-fuzz}
: "${OUT:?OUT names the folder the targets go to}"
targets=(smbus_execute table_walkers prompt scenario volume)
# The image target runs SbPei.efi, which needs the firmware toolchain (clang's PE targets and
# lld-link); where the service's image has it, the image is built and goes to $OUT beside it.
firmware=OFF
if command -v lld-link-14 >/dev/null || command -v lld-link >/dev/null; then
  firmware=ON
  targets+=(sb_pei_image)
fi

# The service's flags instrument everything; our own sanitizer and coverage choices stay out.
# Warnings are not errors here: the service's compiler is newer than the one the project uses.
cmake -S "$src" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DSB_FUZZ=ON -DSB_FUZZ_ENGINE="$LIB_FUZZING_ENGINE" -DSB_SANITIZE=OFF -DSB_FIRMWARE=$firmware -DSB_WERROR=OFF
cmake --build "$work" --target "${targets[@]/#/fuzz_}"

mkdir -p "$OUT"
for target in "${targets[@]}"; do
  cp "$work/fuzz/fuzz_$target" "$OUT/"
  rm -f "$OUT/fuzz_${target}_seed_corpus.zip"
  (cd "$src/fuzz/corpus/$target" && zip -q -r "$OUT/fuzz_${target}_seed_corpus.zip" .)
  if [ -f "$src/fuzz/dictionaries/$target.dict" ]; then cp "$src/fuzz/dictionaries/$target.dict" "$OUT/fuzz_$target.dict"; fi
done
if [ "$firmware" = ON ]; then
  cp "$work/SbPei.efi" "$work/SbPei.map" "$OUT/"
  # The emulator keeps translated code between inputs: no leak check for every input.
  printf '[libfuzzer]\ndetect_leaks=0\n' >"$OUT/fuzz_sb_pei_image.options"
fi
