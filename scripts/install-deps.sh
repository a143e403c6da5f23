#!/usr/bin/env bash
# Installs Debian packages by name. "install-deps.sh run": only what building and
# running the program and the simulated handheld needs (scripts/run.sh). Without an
# argument, or with "test": that and everything the tests, the benchmarks and the demo
# need as well. Safe to run again.
set -euo pipefail

# Building and running.
run_packages=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev ca-certificates
)

# The tests, the benchmarks and the demo only: new test tools go here.
packages=(
  git python3 openssl
  clang clang-format clang-tidy libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  tinyproxy curl
  g++-mingw-w64-x86-64-posix wine64
  nsis xvfb
  gnuplot-nox
)

case "${1:-test}" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${packages[@]}") ;;
  *)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
