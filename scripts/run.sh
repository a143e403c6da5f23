#!/usr/bin/env bash
# Installs what building and running needs (no test tools), builds the release program
# and the simulated handheld (build/run) and starts skiffhouse, passing on this
# script's arguments (for instance --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake --preset run >/dev/null
cmake --build --preset run -j "$(nproc)" --target skiffhouse skiffhouse-handheld
exec build/run/src/platform/posix/skiffhouse "$@"
