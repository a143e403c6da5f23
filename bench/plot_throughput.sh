#!/usr/bin/env bash
# Draws docs/throughput.png from the measured throughput CSV (bytes,program_MBps,
# floor_MBps,ceiling_MBps,curl_MBps,...) that bench/e2e_throughput.sh -o writes.
#
#   bench/plot_throughput.sh [CSV [PNG]]   (default: bench/results/throughput.csv docs/throughput.png)
set -euo pipefail
cd "$(dirname "$0")/.."
csv=${1:-bench/results/throughput.csv}
png=${2:-docs/throughput.png}
gnuplot <<PLOT
set terminal pngcairo size 900,560 font "sans,11"
set output "$png"
set datafile separator ","
set key at graph 0.98, graph 0.60 right box opaque
set title "Body throughput against body size (release build, loopback, 2-core machine; medians of 3 runs of 9 rounds)"
set xlabel "body size (MB)"
set ylabel "throughput (MB/s, logarithmic)"
set logscale x 10
set logscale y 10
set xrange [0.5:200]
set yrange [10:5000]
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
plot "$csv" skip 1 using (\$1/1e6):5 with linespoints lw 2 pt 7 lc rgb "#2c7fb8" title "libcurl alone (direct fetch)", \
     "$csv" skip 1 using (\$1/1e6):4 with linespoints lw 2 pt 5 lc rgb "#7f7f7f" title "USB link ceiling (frames bounced, nothing else)", \
     "$csv" skip 1 using (\$1/1e6):3 with linespoints lw 2 pt 11 lc rgb "#31a354" title "design floor (the ceiling plus one thread hand-off)", \
     "$csv" skip 1 using (\$1/1e6):2 with linespoints lw 2 pt 9 lc rgb "#d95f0e" title "skiffhouse: server -> program -> link -> handheld"
PLOT
echo "wrote $png"
