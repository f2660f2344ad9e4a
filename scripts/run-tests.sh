#!/usr/bin/env bash
# Runs every test of a build folder with a throwaway PostgreSQL cluster.
set -uo pipefail
BUILD=${1:-build}
HERE=$(cd "$(dirname "$0")" && pwd)
export BACKOFFICE_PG_DIR=/tmp/backoffice-pg-$$
if ! VENDALO_TEST_PG=$("$HERE/pg-cluster.sh" start); then
  echo "run-tests: the PostgreSQL test cluster did not start" >&2
  exit 1
fi
export VENDALO_TEST_PG VENDALO_REQUIRE_PG=1
trap '"$HERE/pg-cluster.sh" stop' EXIT
ctest --test-dir "$BUILD" -j "$(nproc)" --output-on-failure --timeout 600
