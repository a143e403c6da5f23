#!/usr/bin/env bash
# One command that shows the program at work: a loopback web server, skiffhouse, and a
# simulated handheld that fetches a file through it; then compares the bytes and stops
# everything. Uses a private home and socket, so it leaves no settings behind.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo
# The programs alone, as scripts/run.sh builds them (no tests, no benchmarks, no test
# switches): about a minute the first time, with its progress on one line.
echo "== building skiffhouse and the simulated handheld (build/run)"
cmake --preset run >/dev/null
mkdir -p build
if ! cmake --build --preset run -j "$(nproc)" --target skiffhouse skiffhouse-handheld 2>&1 |
  tee build/demo-build.log | while IFS= read -r line; do
    if [ -t 1 ]; then printf '\r\033[K   %s' "${line:0:76}"; fi
  done; then
  echo
  tail -30 build/demo-build.log
  echo "== the build failed (build/demo-build.log)" >&2
  exit 1
fi
if [ -t 1 ]; then echo; fi
bin=build/run
skiffhouse=$bin/src/platform/posix/skiffhouse
handheld=$bin/tools/handheld/skiffhouse-handheld

source scripts/sandbox.sh
skiff_sandbox skiffhouse-demo

skiff_private_home "$work"
mkdir -p "$work/www"

echo "== a 2 MB file on a loopback web server"
head -c 2000000 /dev/urandom > "$work/www/sample.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/www" >/dev/null 2>&1 &
pids+=($!)

echo "== skiffhouse (its window's text follows, prefixed with |)"
mkfifo "$work/input"
"$skiffhouse" < "$work/input" > >(sed -u 's/^/  | /') 2>/dev/null &
pids+=($!)
exec 3>"$work/input"  # keeps its standard input open; closing it ends the program

# Wait until both listen.
for _ in $(seq 100); do
  [ -S "$SKIFFHOUSE_USB_SOCKET" ] && python3 -c "import socket; socket.create_connection(('127.0.0.1', $port)).close()" 2>/dev/null && break
  sleep 0.1
done

echo "== the handheld fetches http://127.0.0.1:$port/sample.bin through skiffhouse"
"$handheld" --open-timeout 15000 fetch "http://127.0.0.1:$port/sample.bin" -o "$work/fetched.bin"

if cmp -s "$work/www/sample.bin" "$work/fetched.bin"; then
  echo "== the bytes match: $(sha256sum < "$work/fetched.bin" | cut -c1-16)... ($(stat -c %s "$work/fetched.bin") bytes)"
  status=0
else
  echo "== the bytes DIFFER"
  status=1
fi
sleep 0.5
echo "== stopping"
echo x >&3
exec 3>&-
wait "${pids[1]}" 2>/dev/null || true
exit $status
