#!/usr/bin/env bash
# Installs what is needed, builds the release program and starts skiffhouse, passing on
# this script's arguments (for instance --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target skiffhouse
exec build/release/src/platform/posix/skiffhouse "$@"
