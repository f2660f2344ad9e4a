#!/usr/bin/env bash
# The services of deploy/systemd are hardened: systemd-analyze scores each unit
# file offline (no running systemd needed) at an exposure of at most 3.0.
set -uo pipefail
UNITS=${1:-$(dirname "$0")/../deploy/systemd}
failed=0
for unit in "$UNITS"/*.service; do
  out=$(systemd-analyze security --offline=true --threshold=30 "$unit" 2>&1)
  status=$?
  echo "$out" | grep "Overall exposure"
  if [ $status -ne 0 ]; then
    echo "check-units: $(basename "$unit") is exposed above 3.0 (or could not be scored)" >&2
    failed=1
  fi
done
exit $failed
