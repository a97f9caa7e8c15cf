#!/usr/bin/env bash
# Builds the test platform firmware: OVMF's OvmfPkgIa32X64 (32-bit PEI, 64-bit DXE) with SbPei,
# CmosErrorPrompt and the test platform's modules, all from their INFs, with EDK2's own GCC5
# toolchain. EDK2 comes from Debian's source package (edk2/get_edk2.sh); the tree, the
# workspace and Build/ stay in the cache, so a second run rebuilds only what changed.
#
#   edk2/build_platform.sh [OUT_DIR]   copies OVMF.fd, SbTestBoot.efi and SbPei's FFS file to
#                                      OUT_DIR (default build/edk2) and prints the modules' sizes
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "${1:-$here/../build/edk2}")

EDK2_TREE=$("$here/get_edk2.sh" | tail -n 1)
export EDK2_TREE
# shellcheck source=edk2/env.sh
. "$here/env.sh"

dsc=$(python3 "$here/make_platform.py" "$EDK2_TREE" "$WORKSPACE/SbTestPlatform")
target=RELEASE
start=$(date +%s)
(cd "$WORKSPACE" && build -q -a IA32 -a X64 -t GCC5 -b "$target" -n "$(nproc)" -p "${dsc#"$WORKSPACE"/}" \
  -D BUILD_SHELL=FALSE >"$WORKSPACE/build.log" 2>&1) ||
  { grep -E "error|Error" "$WORKSPACE/build.log" | head -n 40 >&2; echo "build_platform: EDK2 build failed, see $WORKSPACE/build.log" >&2; exit 1; }
echo "build_platform: EDK2 build took $(($(date +%s) - start)) s"

build_dir="$WORKSPACE/Build/SbOvmf3264/${target}_GCC5"
mkdir -p "$out"
cp "$build_dir/FV/OVMF.fd" "$build_dir/X64/SbTestBoot.efi" "$out/"
cp "$build_dir"/FV/Ffs/*SbPei/*.ffs "$out/SbPei.ffs"
python3 "$here/ffs_sizes.py" "$build_dir" | tee "$out/sizes.md"
