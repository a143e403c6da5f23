#!/usr/bin/env bash
# Installs Debian packages by name. "install-deps.sh run": only what building and
# running the program and the simulated handheld needs (scripts/run.sh). "demo": that
# and python3, the demo's web server (scripts/demo.sh). Without an argument, or with
# "test": everything the tests and the benchmarks need as well. Safe to run again.
set -euo pipefail

# Building and running.
run_packages=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev ca-certificates
)

# The tests and the benchmarks only: new test tools go here.
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
  demo) packages=("${run_packages[@]}" python3) ;;
  test) packages=("${run_packages[@]}" "${packages[@]}") ;;
  *)
    echo "usage: $0 [run|demo|test]" >&2
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
