#!/usr/bin/env bash
# The bench installed into a scratch prefix, and packaged as a .deb and unpacked: sbsim from
# each boots the default board and an example board by name, on both engines, with its data
# (boards, images) from the prefix, not from the build tree.
#   install_check.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset SB_IMAGE_DIR

check() {  # sbsim from an installed tree
  local sbsim=$1 data=$2
  "$sbsim" --version | grep -q "^sbsim [0-9.]* (git [0-9a-f]" || { echo "no version and revision"; exit 1; }
  "$sbsim" --version | grep -qF "data: $data" || { echo "$sbsim does not take its data from $data"; exit 1; }
  (cd "$scratch" && "$sbsim" > default.txt) || { cat "$scratch/default.txt"; exit 1; }
  grep -q "User's choice: enter setup" "$scratch/default.txt"
  (cd "$scratch" && "$sbsim" s3-usb-resume --engine image > s3.txt) || { cat "$scratch/s3.txt"; exit 1; }
  grep -q "Boot mode: 0x11 BOOT_ON_S3_RESUME" "$scratch/s3.txt"
  test -f "$data/golden/s3-usb-resume.jsonl" && test -f "$data/edk2/SbPkg/SbPkg.dec" && test -f "$data/sb_pei/entry.cpp"
  test -f "$data/edk2/SbPkg/Include/pi/base.h"  # the package's include folder resolves in the prefix
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
check "$scratch/prefix/bin/sbsim" "$scratch/prefix/share/southbridge-bench/"

(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/southbridge-bench_*.deb)
# Its dependencies come from the libraries sbsim links.
dpkg-deb -f "$deb" Depends | grep -q "libunicorn2" || { echo "the .deb does not depend on libunicorn2"; exit 1; }
dpkg-deb -x "$deb" "$scratch/unpacked"
check "$scratch/unpacked/usr/bin/sbsim" "$scratch/unpacked/usr/share/southbridge-bench/"
echo "installed and unpacked: both boot"
