#!/usr/bin/env bash
# Runs every benchmark program of a build folder and prints, for each piece of
# work, how long the system takes against the bare database or file doing the
# same work in the same run ("<Work>/bare"): the ratio of the median real and
# CPU times over interleaved repetitions. Extra arguments go to every program.
set -euo pipefail
BUILD=${1:-build-bench}
shift || true
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
shopt -s nullglob
programs=("$BUILD"/bench/*_bench)
[ ${#programs[@]} -gt 0 ] || { echo "run-bench: no benchmark programs in $BUILD/bench" >&2; exit 1; }
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$OUT/$name.json" --benchmark_out_format=json "$@"
done
echo
echo "== ratios against the bare database (medians; 1.00 = as fast)"
/usr/bin/python3 - "$OUT"/*.json <<'PY'
import json, re, sys
for path in sys.argv[1:]:
    medians = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name", "median") == "median":
            name = re.sub(r"/(iterations:\d+|real_time|min_time:[\d.]+)", "", b.get("run_name", b["name"]))
            medians[name] = b
    for name, b in medians.items():
        work, _, how = name.partition("/")
        base = medians.get(work + "/bare")
        if how == "bare" or base is None:
            continue
        print(f"{work:<24} {how:<10} real {b['real_time'] / base['real_time']:5.2f}   cpu {b['cpu_time'] / base['cpu_time']:5.2f}")
PY
