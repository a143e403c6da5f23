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
  local out="build/$preset-ctest.log"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$out"
  local status=${PIPESTATUS[0]}
  local line
  line=$(grep -E "tests passed|tests failed" "$out" | tail -1)
  echo "$preset: $line" >>"$log"
  if [[ "$line" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    count $((BASH_REMATCH[2] - BASH_REMATCH[1])) "${BASH_REMATCH[1]}"
  else
    count 0 1
  fi
  if [ "$status" -eq 0 ]; then note "$preset" ok "$line"; else note "$preset" FAILED "$line"; fi
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
  run_preset mingw skiff_tests
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
  rm -rf "$xvfb_dir"
fi

# Fuzzers: each declared with skiff_fuzzer(<name> ...) in fuzz/*.cmake, its seed corpus
# in fuzz/corpus/<name>/. New inputs go to a scratch folder, never into the repository.
fuzzers=$(cat fuzz/*.cmake 2>/dev/null | grep -oE 'skiff_fuzzer\([[:space:]]*[A-Za-z0-9_]+' |
          sed -E 's/skiff_fuzzer\([[:space:]]*//' || true)
if wanted fuzz && [ -n "$fuzzers" ]; then
  echo "==== fuzz: configure and build"
  if cmake --preset fuzz >build/fuzz-configure.log 2>&1 && cmake --build --preset fuzz -j "$jobs"; then
    for name in $fuzzers; do
      binary=$(find build/fuzz -type f -name "$name" -perm -u+x | head -1)
      if [ -z "$binary" ]; then
        note "fuzz" FAILED "$name: no binary"
        continue
      fi
      scratch="build/fuzz/corpus-work/$name"
      rm -rf "$scratch" && mkdir -p "$scratch"
      # The seed corpus is named after the fuzzer, with or without its "_fuzzer" ending.
      seeds=()
      for dir in "fuzz/corpus/$name" "fuzz/corpus/${name%_fuzzer}"; do
        if [ -d "$dir" ]; then
          seeds=("$dir")
          break
        fi
      done
      echo "==== fuzz: $name"
      if "$binary" -seed=1 -runs=20000 -max_total_time=30 -print_final_stats=1 "$scratch" "${seeds[@]}" \
          >"build/fuzz/$name.log" 2>&1; then
        runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "build/fuzz/$name.log" | grep -oE '[0-9]+$')
        note "fuzz" ok "$name: ${runs:-?} inputs from ${#seeds[@]} seed folder(s), no crash"
        count 1 0
      else
        count 0 1
        tail -40 "build/fuzz/$name.log"
        note "fuzz" FAILED "$name: see build/fuzz/$name.log"
      fi
    done
  else
    tail -40 build/fuzz-configure.log
    note "fuzz" FAILED "configure or build"
  fi
fi

echo
echo "==== Summary"
for line in "${summary[@]}"; do echo "$line"; done
# A stage that failed to build counts as one failure, so the line never reads clean then.
echo "tests: $passed_total passed, $failed_total failed"
exit "$failed"
