#!/usr/bin/env bash
# Runs every fuzz target of a build folder for a bounded time, starting from the
# seed corpus in fuzz/corpus (never changed) and a working corpus in the build
# folder that later runs go on from. Stops at the first target that crashes;
# its input is written to <build>/fuzz-artifacts.
#   scripts/run-fuzz.sh BUILD_DIR [SECONDS per target, default 300]
set -euo pipefail
build=${1:?build folder}
seconds=${2:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/fuzz-artifacts"
for target in fuzz_edi_confirmation:edi fuzz_xml_confirmation:xml; do
  name=${target%%:*}
  kind=${target##*:}
  work="$build/fuzz-corpus/$kind"
  mkdir -p "$work"
  dict=()
  [ -f "$root/fuzz/$kind.dict" ] && dict=(-dict="$root/fuzz/$kind.dict")
  echo "== $name: $seconds s"
  status=0
  "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -max_len=16384 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name-" "${dict[@]}" \
    "$work" "$root/fuzz/corpus/$kind" >"$build/fuzz-artifacts/$name.log" 2>&1 || status=$?
  grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|==[0-9]+==|SUMMARY)' "$build/fuzz-artifacts/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -40 "$build/fuzz-artifacts/$name.log"
    echo "$name found a fault (exit $status): see $build/fuzz-artifacts"
    exit 1
  fi
done
echo "fuzzing: no fault found"
