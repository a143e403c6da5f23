#!/usr/bin/env bash
# Sets up and runs every test: the ASan+UBSan build, the ThreadSanitizer build, the
# Windows cross build under Wine, and short seeded fuzz runs. Prints a summary of every
# stage at the end and fails when any stage failed. SKIFF_TEST_STAGES picks stages
# (default "debug tsan mingw fuzz").
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh || exit 1

jobs=$(nproc)
stages=" ${SKIFF_TEST_STAGES:-debug tsan mingw fuzz} "
wanted() { [[ "$stages" == *" $1 "* ]]; }
summary=()
failed=0
mkdir -p build
log="build/test-summary.log"
: >"$log"

passed_total=0
failed_total=0
note() {  # stage name, status, detail
  summary+=("$(printf '%-8s %-6s %s' "$1" "$2" "$3")")
  [ "$2" = "ok" ] || failed=1
}
count() {  # passed, failed: added to the closing line
  passed_total=$((passed_total + $1))
  failed_total=$((failed_total + $2))
}

# Builds a preset (all targets, or the one given) and runs its tests with ctest.
run_preset() {
  local preset=$1 target=${2:-}
  echo "==== $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset-configure.log" 2>&1; then
    cat "build/$preset-configure.log"
    note "$preset" FAILED "configure (build/$preset-configure.log)"
    count 0 1
    return
  fi
  if ! cmake --build --preset "$preset" -j "$jobs" ${target:+--target "$target"}; then
    note "$preset" FAILED "build"
    count 0 1
    return
  fi
  echo "==== $preset: ctest"
  # The counts come from ctest's JUnit report, one <testcase> per test with its status.
  local junit="$root/build/$preset-junit.xml"
  rm -f "$junit"
  ctest --preset "$preset" -j "$jobs" --output-junit "$junit" 2>&1 | tee "build/$preset-ctest.log"
  local status=${PIPESTATUS[0]}
  local passed failed
  read -r passed failed < <(junit_counts "$junit")
  local line="$passed passed, $failed failed"
  echo "$preset: $line" >>"$log"
  count "$passed" "$failed"
  if [ "$status" -eq 0 ] && [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]; then
    note "$preset" ok "$line"
  else
    note "$preset" FAILED "$line"
  fi
}

# "passed failed" from a JUnit report; a missing or unreadable report is one failure.
junit_counts() {
  python3 - "$1" <<'PY' 2>/dev/null || echo "0 1"
import sys, xml.etree.ElementTree as ET
cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
statuses = [case.get("status", "run") for case in cases]
passed = sum(s == "run" for s in statuses)
print(passed, sum(s not in ("run", "disabled") for s in statuses))
PY
}

wanted debug && run_preset debug
wanted tsan && run_preset tsan

# The Windows cross build runs its tests under Wine in a prefix of its own. Wine's first
# start sets the prefix up, which takes a while: done once here, before test discovery.
if wanted mingw; then
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX="$root/build/mingw/wineprefix"
  mkdir -p build/mingw
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "==== mingw: preparing the Wine prefix"
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
  fi
  # Windows need a display: an Xvfb of this run's own, on a display number it picks.
  xvfb_dir=$(mktemp -d)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$xvfb_dir/display" >"$xvfb_dir/log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$xvfb_dir/display" ] && break
    sleep 0.1
  done
  if [ -s "$xvfb_dir/display" ]; then
    export DISPLAY=":$(head -1 "$xvfb_dir/display")"
  else
    echo "==== mingw: Xvfb did not start (see below); window tests will fail"
    cat "$xvfb_dir/log"
  fi
  # The installer test installs the shipped build, which only the mingw-release preset
  # makes (no test switches in it): its installer is built first.
  echo "==== mingw-release: configure and build the installer"
  if ! { cmake --preset mingw-release >build/mingw-release-configure.log 2>&1 &&
         cmake --build --preset mingw-release -j "$jobs" --target installer; }; then
    echo "==== mingw-release: the installer did not build (build/mingw-release-configure.log); its test will fail"
  fi
  run_preset mingw skiff_tests
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
  rm -rf "$xvfb_dir"
fi

# Fuzzers: each declared with skiff_fuzzer(<name> ...) in fuzz/*.cmake is a CTest test of
# the fuzz preset, a short seeded run from its seed folder.
wanted fuzz && run_preset fuzz

echo
echo "==== Summary"
for line in "${summary[@]}"; do echo "$line"; done
# A stage that failed to build counts as one failure, so the line never reads clean then.
echo "tests: $passed_total passed, $failed_total failed"
exit "$failed"
