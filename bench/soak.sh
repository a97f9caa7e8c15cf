#!/usr/bin/env bash
# Boots without end in sight: every example board and random boards, on the host engine, the
# image engine and from the simulator's PEI volume, each boot its own sbsim process, each board
# always giving the same boot (bench/soak.py checks). Builds sbsim without the sanitizers, as the
# .deb and `cmake --install` ship it, into build-soak/; the sanitized boots use build/ (./build.sh
# test builds it).
#
#   bench/soak.sh                    # 20,000 boots without the sanitizers, then 2,000 with them
#   bench/soak.sh BOOTS SANITIZED    # other counts (0: none)
#   bench/soak.sh --seconds S        # without the sanitizers for S seconds (CI's short soak)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-soak
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
cmake -S . -B "$out" -G Ninja -DSB_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" --target sbsim SbPei_image CmosErrorPrompt_image >/dev/null
volume=()
[ -f build/edk2/SIMPEIFV.Fv ] && volume=(--volume build/edk2/SIMPEIFV.Fv)

if [ "${1:-}" = --seconds ]; then
  SB_IMAGE_DIR=$out python3 bench/soak.py --sbsim "$out/sbsim" "${volume[@]}" --seconds "$2" --label "without the sanitizers"
  exit
fi
boots=${1:-20000}
sanitized=${2:-2000}
if [ "$boots" -gt 0 ]; then
  SB_IMAGE_DIR=$out python3 bench/soak.py --sbsim "$out/sbsim" "${volume[@]}" --boots "$boots" --label "without the sanitizers"
fi
if [ "$sanitized" -gt 0 ]; then
  cmake --build build --target sbsim SbPei_image CmosErrorPrompt_image >/dev/null
  SB_IMAGE_DIR=$root/build python3 bench/soak.py --sbsim build/sbsim "${volume[@]}" --boots "$sanitized" --label "with the sanitizers"
fi
