#!/usr/bin/env bash
# Everything the project measures, as one table: image sizes, host CPU per simulated boot on
# each engine, and what each board's boot path costs. Builds without sanitizers into
# build-bench/ (the tests' build keeps them), then prints Markdown.
#
#   bench/run.sh            # the whole table
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-bench
./build.sh deps >/dev/null
cmake -S . -B "$out" -G Ninja -DSB_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" --target sbsim bench_boot bench_smbus_spd SbPei_image CmosErrorPrompt_image >/dev/null
export SB_IMAGE_DIR=$out
# The simulator's PEI volume, for the boot from it (EDK2 builds it; its build is cached).
edk2/build_platform.sh "$out/edk2" >/dev/null
export SB_PEI_VOLUME=$out/edk2/SIMPEIFV.Fv

echo "### Image size"
echo
echo "| image | bytes | target |"
echo "|---|---:|---:|"
printf '| SbPei.efi (IA32) | %s | 5,120 |\n' "$(stat -c %s "$out/SbPei.efi")"
printf '| CmosErrorPrompt.efi (X64) | %s | 2,048 |\n' "$(stat -c %s "$out/CmosErrorPrompt.efi")"
echo

echo "### Host CPU per simulated boot (default board: PEI, DXE, the prompt answered with Del)"
echo
"$out/bench_boot" --benchmark_format=json --benchmark_min_time=0.5 2>/dev/null | python3 -c '
import json, sys
targets = {"host": "1,000", "image": "20,000", "volume": "50,000"}
labels = {"volume": "volume (the PEI core of EDK2)"}
print("| engine | trace | us per boot (CPU) | target (us) |")
print("|---|---|---:|---:|")
for b in json.load(sys.stdin)["benchmarks"]:
    name = b["name"].split("/")[1]
    engine = name.split("_")[0]
    trace = "recorded" if name.endswith("traced") else "off"
    if name.endswith("unchecked"):
        trace = "off, memory check off"
    cpu = b["cpu_time"]
    print(f"| {labels.get(engine, engine)} | {trace} | {cpu:,.1f} | {targets[engine]} |")
'
echo

echo "### Boot cost per board"
echo
echo "Estimate: the virtual time of the phase at 1 us a port access and 150 ns an MMIO access, with"
echo "every delay (timer polls, Stall) and, in DXE, the wait for the user's key. Instructions: the"
echo "shipped images in the emulator."
echo
echo "| board | phase | I/O | memory | PCI config | stall (us) | estimate (us) | instructions |"
echo "|---|---|---:|---:|---:|---:|---:|---:|"
for board in boards/*.toml; do
  name=$(basename "$board" .toml)
  "$out/sbsim" --cost "$board" | tail -n +2 >"$out/cost-host.txt"
  "$out/sbsim" --cost --engine image "$board" | tail -n +2 >"$out/cost-image.txt"
  paste -d'\t' "$out/cost-host.txt" "$out/cost-image.txt" |
    python3 -c '
import sys
name = sys.argv[1]
for line in sys.stdin:
    host, image = line.rstrip("\n").split("\t")
    h = host.split(); i = image.split()
    # board, phase (one or three words), I/O, memory, PCI, stall, estimate, instructions
    n = len(h)
    phase = " ".join(h[1:n - 6])
    if h[n - 6:n - 1] != i[n - 6:n - 1]:
        sys.exit(f"{name} {phase}: the engines disagree: {host} / {image}")
    print(f"| {name} | {phase} | " + " | ".join(h[n - 6:n - 1]) + f" | {int(i[-1]):,} |")
' "$name"
done
echo

echo "### SPD read through the SMBus PPI"
echo
"$out/bench_smbus_spd" | sed 's/^/    /'
