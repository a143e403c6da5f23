#!/usr/bin/env bash
# Small fetches over a distance: FETCHES fetches (default 30) of a BYTES-byte file (default
# 10240) one after another, over HTTP and over HTTPS, through delay_relay (each direction
# 10 ms, so a 20 ms round trip; a new connection's first bytes reach the server no
# earlier than 30 ms after its connect), by the program with the simulated handheld, and
# by the curl tool fetching the same URLs in one process, in one run.
#
#   bench/keepalive_bench.sh [-r ROUNDS] [-n FETCHES] [-s BYTES] [-b BASELINE_BUILD]
#
# Needs the release build: cmake --preset release -B build/bench-release &&
#   cmake --build build/bench-release --target skiffhouse handheld_bench delay_relay
# and the curl tool. With -b, another build's skiffhouse, driven by its own
# handheld_bench, takes a turn in every round too, for a before-and-after in one run.
# Each batch of fetches gets a relay of its own on a new port, so every batch starts
# without an open connection or a TLS session to resume, as a new curl process does. A
# fetch through the program is timed by the handheld from its first request packet to
# the reply of its Close; a curl fetch is curl's time_total. Both trust the system's
# authorities and the run's, so both read the same certificate store. Prints, per scheme, the
# milliseconds per fetch (total over FETCHES), the program's time over curl's and the
# connections each batch opened: medians of ROUNDS rounds (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
rounds=5
fetches=30
size=10240
baseline=
while getopts "r:n:s:b:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    n) fetches=$OPTARG ;;
    s) size=$OPTARG ;;
    b) baseline=$OPTARG ;;
    *) exit 1 ;;
  esac
done
command -v curl > /dev/null || { echo "the curl tool is needed (Debian's curl package)" >&2; exit 1; }

source scripts/sandbox.sh
skiff_sandbox skiff-keepalive

# A certificate authority and a server certificate for 127.0.0.1, made for the run.
tls=$work/tls
mkdir -p "$tls"
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > "$tls/server.ext"
key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
(cd "$tls" &&
  openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -days 2 -subj "/CN=Keep-alive bench CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign &&
  openssl req "${key[@]}" -keyout server.key -out server.csr -subj /CN=127.0.0.1 &&
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
    -extfile server.ext) > /dev/null 2>&1
# curl trusts what the program trusts: the system's authorities and the run's.
cat "$(curl-config --ca 2> /dev/null || echo /etc/ssl/certs/ca-certificates.crt)" "$tls/ca.pem" > "$tls/trusted.pem"

# wait_for_line FILE: up to 10 s for a first line in FILE.
wait_for_line() {
  skiff_wait_until test -s "$1" && return 0
  echo "nothing in $1" >&2
  exit 1
}
python3 bench/keepalive_server.py > "$work/http.port" &
pids+=($!)
python3 bench/keepalive_server.py "$tls/server.pem" "$tls/server.key" > "$work/https.port" &
pids+=($!)
wait_for_line "$work/http.port"
wait_for_line "$work/https.port"

# Each program trusts the run's authority, as a user's SSL_CERT_FILE makes it.
SSL_CERT_FILE=$tls/ca.pem skiff_start_program "$work/program" "$bin"
if [ -n "$baseline" ]; then SSL_CERT_FILE=$tls/ca.pem skiff_start_program "$work/baseline" "$baseline"; fi

# relay SCHEME: a new relay to that scheme's server; sets `relay_port`, `relay_pid` and
# `relay_count` (the file with its count of connections).
relay_serial=0
relay() {
  relay_serial=$((relay_serial + 1))
  relay_count=$work/relay$relay_serial.count
  echo 0 > "$relay_count"
  "$bin/bench/delay_relay" "$(cat "$work/$1.port")" 10 30 "$relay_count" > "$work/relay$relay_serial.port" &
  relay_pid=$!
  pids+=("$relay_pid")
  wait_for_line "$work/relay$relay_serial.port"
  relay_port=$(cat "$work/relay$relay_serial.port")
}
end_relay() { kill "$relay_pid" 2> /dev/null || true; }

# through_program SCHEME BUILD DIR: one batch by BUILD's handheld through the program in
# DIR; sets `result` to "ms-per-fetch connections".
through_program() {
  relay "$1"
  local url="$1://127.0.0.1:$relay_port/bytes/$size" out
  out=$(SKIFFHOUSE_USB_SOCKET=$3/run/usb.sock "$2/bench/handheld_bench" fetch "$url" "$fetches") || {
    echo "a fetch through the program of $2 failed: $out" >&2
    exit 1
  }
  result=$(awk -v n="$fetches" -v c="$(cat "$relay_count")" \
    '{ if (match($0, / seconds=[0-9.]+/)) total += substr($0, RSTART + 9, RLENGTH - 9) }
     END { printf "%.2f %d\n", total * 1000 / n, c }' <<< "$out")
  end_relay
}

# through_curl SCHEME: one batch by the curl tool, every URL in one process; sets `result`.
through_curl() {
  relay "$1"
  local url="$1://127.0.0.1:$relay_port/bytes/$size" args=() out
  for _ in $(seq "$fetches"); do args+=(-o /dev/null "$url"); done
  out=$(curl -sS --cacert "$tls/trusted.pem" -w '%{http_code} %{size_download} %{time_total}\n' "${args[@]}")
  result=$(awk -v n="$fetches" -v c="$(cat "$relay_count")" -v s="$size" \
    '$1 != 200 || $2 != s { bad = 1 } { total += $3 }
     END { if (bad || NR != n) exit 1; printf "%.2f %d\n", total * 1000 / n, c }' <<< "$out") || {
    echo "a fetch by curl failed: $out" >&2
    exit 1
  }
  end_relay
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# col FILE N: the median of column N of FILE's rounds.
col() { cut -d' ' -f"$2" "$1" | median; }

for scheme in http https; do
  : > "$work/$scheme.rounds"
  for _ in $(seq "$rounds"); do
    through_program "$scheme" "$bin" "$work/program"
    line=$result
    through_curl "$scheme"
    line+=" $result"
    if [ -n "$baseline" ]; then
      through_program "$scheme" "$baseline" "$work/baseline"
      line+=" $result"
    fi
    echo "$line" >> "$work/$scheme.rounds"
  done
done

echo "$fetches fetches of $size bytes one after another, 20 ms round trip; medians of $rounds rounds"
printf "%-6s %10s %10s %7s %9s %9s" scheme program curl program program curl
[ -n "$baseline" ] && printf " %10s %8s %9s" baseline baseline baseline
printf "\n%-6s %10s %10s %7s %9s %9s" "" "ms/fetch" "ms/fetch" "/ curl" "conns" "conns"
[ -n "$baseline" ] && printf " %10s %8s %9s" "ms/fetch" "/ curl" "conns"
printf "\n"
for scheme in http https; do
  rounds_file=$work/$scheme.rounds
  program=$(col "$rounds_file" 1)
  curl_ms=$(col "$rounds_file" 3)
  awk -v p="$program" -v c="$curl_ms" -v pc="$(col "$rounds_file" 2)" -v cc="$(col "$rounds_file" 4)" -v s="$scheme" \
    'BEGIN { printf "%-6s %10.1f %10.1f %7.2f %9d %9d", s, p, c, p / c, pc, cc }'
  if [ -n "$baseline" ]; then
    awk -v b="$(col "$rounds_file" 5)" -v c="$curl_ms" -v bc="$(col "$rounds_file" 6)" \
      'BEGIN { printf " %10.1f %8.2f %9d", b, b / c, bc }'
  fi
  printf "\n"
done
