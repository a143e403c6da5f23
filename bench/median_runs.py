#!/usr/bin/env python3
"""Per-size medians of several runs of bench/e2e_throughput.sh -o (same sizes in each):

    bench/median_runs.py RUN.csv... > bench/results/throughput.csv
"""
import csv
import statistics
import sys

runs = [list(csv.DictReader(open(path))) for path in sys.argv[1:]]
if not runs:
    sys.exit(__doc__)
columns = [name for name in runs[0][0].keys() if name != "bytes"]
print("bytes," + ",".join(columns))
for rows in zip(*runs):
    if len({row["bytes"] for row in rows}) != 1:
        sys.exit("the runs measured different sizes")
    medians = [statistics.median(float(row[column]) for row in rows) for column in columns]
    print(rows[0]["bytes"] + "," + ",".join("%.1f" % value for value in medians))
