#!/usr/bin/env bash
# Rewrites the golden traces (tests/golden/<board>.jsonl) from the current build, after a change
# that is meant to alter the hardware accesses. Review `git diff tests/golden` (or
# `build/sbsim diff OLD NEW` on the files) and say in the commit which accesses changed and why.
#
#   tests/golden/update.sh [BUILD_DIR]     (default build/)
set -euo pipefail
cd "$(dirname "$0")/../.."
sbsim="${1:-build}/sbsim"
for board in boards/*.toml; do
  name=$(basename "$board" .toml)
  "$sbsim" "$board" --folded-trace "tests/golden/$name.jsonl" >/dev/null || true
  [ -s "tests/golden/$name.jsonl" ] || { echo "update.sh: no trace for $board" >&2; exit 1; }
  echo "tests/golden/$name.jsonl: $(wc -l <"tests/golden/$name.jsonl") lines"
done
