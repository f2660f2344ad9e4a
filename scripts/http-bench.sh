#!/usr/bin/env bash
# wrk against GET /api/v1/orders/{id} of `backoffice serve` on a demo
# installation (SQLite): 10 s, 16 kept-alive connections. Prints wrk's report
# (requests per second, latency). bench/http_bench.cpp sets one kept-alive
# connection against the in-process call.
set -euo pipefail
BUILD=${1:-build}
BACKOFFICE="$BUILD/apps/backoffice/backoffice"
HOME_DIR=$(mktemp -d)/shop
OUT=$(mktemp)
"$BACKOFFICE" init --demo --home "$HOME_DIR" >/dev/null
"$BACKOFFICE" demo --home "$HOME_DIR" >/dev/null
"$BACKOFFICE" serve --home "$HOME_DIR" --listen 127.0.0.1:0 >"$OUT" 2>&1 &
PID=$!
trap 'kill $PID 2>/dev/null || true; rm -rf "$(dirname "$HOME_DIR")" "$OUT"' EXIT
for _ in $(seq 100); do grep -q "listening on" "$OUT" && break; sleep 0.1; done
URL=$(sed -n 's/^listening on \(http[^ ]*\) .*/\1/p' "$OUT")
KEY=$(sed -n 's/.*name="ShopApiKey">\([^<]*\)<.*/\1/p' "$HOME_DIR/config/SiteConfiguration.xml")
ORDER=$(curl -sS -H "Authorization: Bearer $KEY" "$URL/api/v1/orders?limit=1" |
  python3 -c "import json,sys; print(json.load(sys.stdin)['orders'][0]['ORDERID'])")
wrk -t2 -c16 -d10s -H "Authorization: Bearer $KEY" "$URL/api/v1/orders/$ORDER"
