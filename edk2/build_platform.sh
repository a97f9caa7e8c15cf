#!/usr/bin/env bash
# Builds two platforms from the INFs, with EDK2's own GCC5 toolchain:
# - the test platform firmware: OVMF's OvmfPkgIa32X64 (32-bit PEI, 64-bit DXE) with SbPei,
#   CmosErrorPrompt and the test platform's modules (RELEASE), which boots in QEMU;
# - the simulator's PEI volume (edk2/SbPkg/SimPlatform, DEBUG: the PEI core logs to COM1), which
#   sbsim --pei-volume boots against the board's device models.
# EDK2 comes from Debian's source package (edk2/get_edk2.sh); the tree, the workspace and Build/
# stay in the cache, so a second run rebuilds only what changed.
#
#   edk2/build_platform.sh [OUT_DIR]   copies OVMF.fd, SbTestBoot.efi, SbPei's FFS file, the
#                                      simulator's volumes (SIMPEIFV.Fv, SIMPEIFV_HOOK.Fv,
#                                      SIMPEIFV_SHADOW.Fv: its PEI core shadows itself;
#                                      SIMPEIFV_MISBEHAVING.Fv: a test PEIM misbehaves) and the
#                                      EDK2-built SbPei.efi and CmosErrorPrompt.efi (images/) to
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


start=$(date +%s)
(cd "$WORKSPACE" && build -q -a IA32 -t GCC5 -b DEBUG -n "$(nproc)" -p SbPkg/SimPlatform/SimPlatform.dsc \
  >"$WORKSPACE/build-sim.log" 2>&1) ||
  { grep -E "error|Error" "$WORKSPACE/build-sim.log" | head -n 40 >&2; echo "build_platform: EDK2 build failed, see $WORKSPACE/build-sim.log" >&2; exit 1; }
echo "build_platform: the simulator's PEI volume took $(($(date +%s) - start)) s"
# The same volume with EDK2's default of a PEI core that shadows itself into permanent memory.
(cd "$WORKSPACE" && build -q -a IA32 -t GCC5 -b DEBUG -n "$(nproc)" -p SbPkg/SimPlatform/SimPlatform.dsc \
  -D SHADOW_PEIM_ON_BOOT=TRUE >"$WORKSPACE/build-sim-shadow.log" 2>&1) ||
  { grep -E "error|Error" "$WORKSPACE/build-sim-shadow.log" | head -n 40 >&2; echo "build_platform: EDK2 build failed, see $WORKSPACE/build-sim-shadow.log" >&2; exit 1; }

build_dir="$WORKSPACE/Build/SbOvmf3264/${target}_GCC5"
sim_dir="$WORKSPACE/Build/SbSimPlatform/DEBUG_GCC5"
shadow_dir="$WORKSPACE/Build/SbSimPlatformShadow/DEBUG_GCC5"
mkdir -p "$out"
cp "$build_dir/FV/OVMF.fd" "$build_dir/X64/SbTestBoot.efi" "$out/"
cp "$build_dir"/FV/Ffs/*SbPei/*.ffs "$out/SbPei.ffs"
cp "$sim_dir/FV/SIMPEIFV.Fv" "$sim_dir/FV/SIMPEIFV_HOOK.Fv" "$sim_dir/FV/SIMPEIFV_MISBEHAVING.Fv" "$out/"
cp "$shadow_dir/FV/SIMPEIFV.Fv" "$out/SIMPEIFV_SHADOW.Fv"
# The debug files of the simulator's volumes' modules (findings name their source lines).
mkdir -p "$out/debug"
cp "$sim_dir"/IA32/*.debug "$out/debug/"
# The modules as EDK2 builds them, with their debug files, for the image engine
# (sbsim --engine image --pei-image/--dxe-image).
mkdir -p "$out/images"
cp "$build_dir/IA32/SbPei.efi" "$build_dir/IA32/SbPei.debug" "$build_dir/X64/CmosErrorPrompt.efi" \
  "$build_dir/X64/CmosErrorPrompt.debug" "$out/images/"
python3 "$here/ffs_sizes.py" "$build_dir" | tee "$out/sizes.md"
