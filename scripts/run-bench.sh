#!/usr/bin/env bash
# Runs every benchmark program of a build folder and prints, for each piece of
# work, how long the system takes against the bare database or file doing the
# same work in the same run ("<Work>/bare"): the ratio of the median real and
# CPU times over interleaved repetitions, on SQLite and on PostgreSQL side by
# side ("<Work>@pg/..."). PostgreSQL runs on a throwaway cluster started here
# with fsync and synchronous commit on (or on the one BACKOFFICE_BENCH_PG
# names; BACKOFFICE_BENCH_PG=none leaves it out). The medians and ratios also
# go to a JSON file (BENCH_RESULTS, default <build>/bench-results.json) so that
# runs can be compared. Extra arguments go to every program.
set -euo pipefail
BUILD=${1:-build-bench}
shift || true
RESULTS=${BENCH_RESULTS:-$BUILD/bench-results.json}
OUT=$(mktemp -d)
PG_DIR=""
cleanup() {
  [ -n "$PG_DIR" ] && BACKOFFICE_PG_DIR="$PG_DIR" "$(dirname "$0")/pg-cluster.sh" stop || true
  rm -rf "$OUT"
}
trap cleanup EXIT
shopt -s nullglob
programs=("$BUILD"/bench/*_bench)
[ ${#programs[@]} -gt 0 ] || { echo "run-bench: no benchmark programs in $BUILD/bench" >&2; exit 1; }
if [ "${BACKOFFICE_BENCH_PG:-}" = none ]; then
  unset BACKOFFICE_BENCH_PG
elif [ -z "${BACKOFFICE_BENCH_PG:-}" ]; then
  PG_DIR=$(mktemp -d /tmp/backoffice-bench-pg.XXXXXX)
  BACKOFFICE_BENCH_PG=$(BACKOFFICE_PG_DIR="$PG_DIR" "$(dirname "$0")/pg-cluster.sh" start --durable)
  export BACKOFFICE_BENCH_PG
fi
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$OUT/$name.json" --benchmark_out_format=json "$@" || echo "run-bench: $name failed" >&2
done
echo
echo "== ratios against the bare database (medians; 1.00 = as fast)"
/usr/bin/python3 - "$RESULTS" "$OUT"/*.json <<'PY'
import json, re, sys
results, rows = sys.argv[1], {}
context = None
for path in sys.argv[2:]:
    try:
        data = json.load(open(path))
    except ValueError:
        continue  # a program that failed part-way
    context = context or data.get("context")
    medians = {}
    for b in data["benchmarks"]:
        if b.get("error_occurred") or b.get("aggregate_name", "median") != "median":
            continue
        name = re.sub(r"/(iterations:\d+|real_time|min_time:[\d.]+)", "", b.get("run_name", b["name"]))
        medians[name] = b
    for name, b in medians.items():
        work, _, how = name.partition("/")
        base = medians.get(work + "/bare")
        work, _, db = work.partition("@")
        entry = rows.setdefault((work, how), {})
        entry[db or "sqlite"] = {"real_ms": b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}[b["time_unit"]],
                                 "real": None if base is None or how == "bare" else b["real_time"] / base["real_time"],
                                 "cpu": None if base is None or how == "bare" else b["cpu_time"] / base["cpu_time"]}
def ratio(entry, key):
    return f"{entry[key]:5.2f}" if entry and entry.get(key) is not None else "    -"
print(f"{'work':<28} {'how':<12} {'SQLite real':>11} {'cpu':>6}   {'PostgreSQL real':>15} {'cpu':>6}")
for (work, how), entry in rows.items():
    if how == "bare":
        continue
    lite, pg = entry.get("sqlite"), entry.get("pg")
    print(f"{work:<28} {how:<12} {ratio(lite, 'real'):>11} {ratio(lite, 'cpu'):>6}   {ratio(pg, 'real'):>15} {ratio(pg, 'cpu'):>6}")
json.dump({"context": context,
           "results": [{"work": w, "how": h, **{db: v for db, v in e.items()}} for (w, h), e in rows.items()]},
          open(results, "w"), indent=1)
print(f"\n(results: {results})")
PY
