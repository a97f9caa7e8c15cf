#!/usr/bin/env bash
# One command for everything:
#   ./build.sh [sbsim options]   install what is missing, build everything, run sbsim on the default board
#   ./build.sh test              install what is missing, build everything, run every test
#   ./build.sh deps              only install what is missing
# "Everything" includes the test platform firmware that EDK2 builds from edk2/ (edk2/build_platform.sh).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ clang-14 lld-14 llvm-14 libclang-rt-14-dev libgtest-dev libgmock-dev libunicorn-dev pkg-config libbenchmark-dev
          qemu-system-x86 ovmf python3
          libcli11-dev nlohmann-json3-dev libfmt-dev libtomlplusplus-dev libdtl-dev)

install_missing() {
  local missing=() p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build
  # The test platform firmware from the EDK2 package (EDK2 itself is fetched and kept in ~/.cache).
  edk2/build_platform.sh build/edk2
}

case "${1:-}" in
  deps)
    install_missing
    ;;
  test)
    install_missing
    build
    ctest --test-dir build --output-on-failure -j "$(nproc)"
    ;;
  *)
    install_missing
    build
    ./build/sbsim "$@"
    ;;
esac
