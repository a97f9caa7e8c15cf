#!/usr/bin/env bash
# One command for everything:
#   ./build.sh [sbsim options]   install what is missing, build everything, run sbsim on the default board
#   ./build.sh test              install what is missing, build everything, run every test
#   ./build.sh deps              only install what is missing
#   ./build.sh coverage          the host tests built with clang's source-based coverage: line and
#                                branch coverage of sb_pei/ and cmos_error_prompt/ from ctest
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

# Line and branch coverage of the two modules from the host tests (llvm-cov), and every line
# the tests do not reach, in build-coverage/uncovered.txt.
coverage() {
  cmake -S . -B build-coverage -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DSB_SANITIZE=OFF -DSB_COVERAGE=ON >/dev/null
  cmake --build build-coverage
  rm -rf build-coverage/profiles
  # The QEMU runs exercise images, not these programs. Without the sanitizers' allocator the heap
  # starts where this kernel randomises it, up to 1 GiB above the program, and now and then lies
  # where the simulator maps its RAM arena or an image (0x30000000-0x44000000); such a test is
  # run again.
  LLVM_PROFILE_FILE="$PWD/build-coverage/profiles/%p.profraw" \
    ctest --test-dir build-coverage -j "$(nproc)" -E '^(qemu|edk2)\.' --repeat until-pass:3 >build-coverage/ctest.log ||
    { tail -n 20 build-coverage/ctest.log; exit 1; }
  tail -n 3 build-coverage/ctest.log
  llvm-profdata-14 merge -sparse -o build-coverage/tests.profdata build-coverage/profiles/*.profraw
  local objects=(build-coverage/tests/host_tests -object build-coverage/sbsim)
  llvm-cov-14 report "${objects[@]}" -instr-profile=build-coverage/tests.profdata sb_pei cmos_error_prompt
  llvm-cov-14 show "${objects[@]}" -instr-profile=build-coverage/tests.profdata -show-branches=count \
    sb_pei cmos_error_prompt >build-coverage/show.txt
  python3 tools/uncovered.py build-coverage/show.txt | tee build-coverage/uncovered.txt
}

case "${1:-}" in
  deps)
    install_missing
    ;;
  coverage)
    install_missing
    coverage
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
