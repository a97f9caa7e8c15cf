#!/usr/bin/env bash
# One command for each job:
#   ./build.sh [sbsim options]   install what is missing, build sbsim and the two images, run a
#                                simulated boot (the default board; the options go to sbsim) and
#                                write it as a review page, build/report.html
#   ./build.sh test              install what is missing, build everything (the firmware EDK2
#                                builds too), run every test
#   ./build.sh firmware          what EDK2 builds from edk2/ (edk2/build_platform.sh): the test
#                                platform firmware and the simulator's PEI volume, into build/edk2
#   ./build.sh package           a Debian package of the bench (sbsim, the images, the boards, the
#                                golden traces, the EDK2 package) in build-package/
#   ./build.sh mutants [options] mutation testing of the two modules (tools/mutants.py: --sample N
#                                --seed S, --since REV, --shard K/N, --max-seconds S); report in build-mutants/
#   ./build.sh deps              only install what is missing
#   ./build.sh coverage          the host tests built with clang's source-based coverage: line and
#                                branch coverage of sb_pei/ and cmos_error_prompt/ from ctest
set -euo pipefail
cd "$(dirname "$0")"

# What the simulated boot needs (sbsim and the two images), then what the tests, the fuzzing,
# the benchmarks and the package need besides.
MAIN_PACKAGES=(cmake ninja-build g++ clang-14 lld-14 llvm-14 libunicorn-dev pkg-config
               libcli11-dev nlohmann-json3-dev libfmt-dev libtomlplusplus-dev libdtl-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev qemu-system-x86 ovmf python3 dpkg-dev zip unzip ccache
               chromium chromium-driver python3-selenium)

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Every build configured here compiles through ccache when it is there (./build.sh test installs
# it): a fresh clone, or a build of another type, costs little more than its links after the first.
cmake_configure() {
  local dir=$1
  shift
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  fi
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}

configure() {
  cmake_configure build
}

# What the simulated boot needs: sbsim and the two images it can run.
build_main() {
  configure
  cmake --build build --target sbsim SbPei_image CmosErrorPrompt_image
}

build_all() {
  configure
  cmake --build build
  firmware
}

# The firmware EDK2 builds from the package (EDK2 itself is fetched and kept in ~/.cache).
firmware() {
  edk2/build_platform.sh build/edk2
}

# A Debian package, from a build without the sanitizers; its dependencies are the packages of
# the libraries the programs link (dpkg-shlibdeps).
package() {
  cmake_configure build-package -DSB_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
  cmake --build build-package --target sbsim SbPei_image CmosErrorPrompt_image
  (cd build-package && cpack -G DEB)
}

# Line and branch coverage of the two modules from the host tests (llvm-cov), and every line
# the tests do not reach, in build-coverage/uncovered.txt.
coverage() {
  cmake_configure build-coverage -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DSB_SANITIZE=OFF -DSB_COVERAGE=ON
  cmake --build build-coverage
  rm -rf build-coverage/profiles
  # The QEMU runs exercise images, not these programs; the builds rebuild the tree.
  LLVM_PROFILE_FILE="$PWD/build-coverage/profiles/%p.profraw" \
    ctest --test-dir build-coverage -j "$(nproc)" -E '^(qemu|edk2|builds)\.' >build-coverage/ctest.log ||
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
    install_missing "${MAIN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    ;;
  coverage)
    install_missing "${MAIN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    coverage
    ;;
  test)
    install_missing "${MAIN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    build_all
    ctest --test-dir build --output-on-failure -j "$(nproc)"
    ;;
  firmware)
    install_missing "${MAIN_PACKAGES[@]}"
    firmware
    ;;
  mutants)
    install_missing "${MAIN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    shift
    python3 tools/mutants.py "$@"
    ;;
  package)
    install_missing "${MAIN_PACKAGES[@]}" dpkg-dev
    package
    ;;
  *)
    install_missing "${MAIN_PACKAGES[@]}"
    build_main
    case "${1:-}" in
      diff | report) ./build/sbsim "$@" ;;
      *)
        # The boot, and the same boot as a page to open in a browser.
        ./build/sbsim "$@" --report build/report.html
        echo "Report: build/report.html (open it in a browser: the timeline, every access, the registers)" >&2
        ;;
    esac
    ;;
esac
