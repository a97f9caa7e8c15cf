#!/usr/bin/env bash
# EDK2 builds the package wherever the clone and the cache are. Here the clone's path is a string
# prefix of the cache's (.../clone and .../clone-edk2), which once made EDK2 resolve the
# package's include folder against the wrong root ("File name case mismatch"). The EDK2 tree is
# the one the project's cache already holds; the workspace and Build/ are new.
#   edk2_paths_check.sh SOURCE_DIR
set -euo pipefail
source_dir=$(realpath "$1")
tree=$("$source_dir/edk2/get_edk2.sh" | tail -n 1)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ln -s "$source_dir" "$scratch/clone"
mkdir "$scratch/clone-edk2"
cd "$scratch/clone"
export EDK2_TREE=$tree EDK2_CACHE="$scratch/clone-edk2"
# shellcheck source=edk2/env.sh
. edk2/env.sh
case "$WORKSPACE" in "$scratch/clone"*) ;; *) echo "the workspace $WORKSPACE does not begin with the clone's path"; exit 1 ;; esac
cd "$WORKSPACE"
build -q -a IA32 -a X64 -t GCC5 -b RELEASE -n "$(nproc)" -p SbPkg/SbPkg.dsc >build.log 2>&1 ||
  { grep -E "error" build.log | head -n 20; exit 1; }
ls Build/SbPkg/RELEASE_GCC5/IA32/SbPei.efi Build/SbPkg/RELEASE_GCC5/X64/CmosErrorPrompt.efi
