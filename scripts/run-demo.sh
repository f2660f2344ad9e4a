#!/usr/bin/env bash
# The main job on the embedded default, step by step: a demo installation, the
# web shop's orders, the batch, the back ends' EDI modules (simulated; BIS 3
# takes XML), and the batch again. `make run` calls it.
set -euo pipefail
BUILD=${1:-build}
HOME_DIR=${2:-var/demo}
BACKOFFICE="$BUILD/apps/backoffice/backoffice"
SIMULATOR="$BUILD/apps/erp_simulator/erp-simulator"
GATEWAY="$BUILD/apps/gateway_simulator/gateway-simulator"
step() { printf '\n== %s\n' "$*"; }

if [ ! -f "$HOME_DIR/config/VendaloConfiguration.xml" ]; then
  step "A new demo installation in $HOME_DIR"
  "$BACKOFFICE" init --demo --home "$HOME_DIR"
fi
HOME_ABS=$(cd "$HOME_DIR" && pwd)

# The card gateway, simulated on loopback where the demo installation expects it
# (plain HTTP is allowed to loopback addresses only). Stopped when the demo ends.
step "The card gateway (simulated) listens on 127.0.0.1:18490"
"$GATEWAY" serve --port 18490 --journal "$HOME_ABS/gateway-journal.log" > "$HOME_ABS/gateway.out" 2>&1 &
GATEWAY_PID=$!
trap 'kill $GATEWAY_PID 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$HOME_ABS/gateway.out" 2>/dev/null && break; sleep 0.1; done
cat "$HOME_ABS/gateway.out"

step "The web shop: customers submit baskets as orders (the card order is authorised at checkout)"
"$BACKOFFICE" demo --home "$HOME_DIR"

step "The back end of BIS 2 is ready for the web side (it places edi2/command/command.fil)"
"$SIMULATOR" prepare --export "$HOME_ABS/edi2/out/orders.edi"

step "Batch 1: new orders go to the back ends (status 0 -> 1)"
"$BACKOFFICE" batch --home "$HOME_DIR"

step "The back ends take the export files and confirm every order"
"$SIMULATOR" cycle --export "$HOME_ABS/edi/out/orders.edi" --confirm "$HOME_ABS/edi/in/confirm.edi" \
  --archive "$HOME_ABS/edi/archive" --separator ","
"$SIMULATOR" cycle --handshake --export "$HOME_ABS/edi2/out/orders.edi" --confirm "$HOME_ABS/edi2/in/confirm.edi" \
  --archive "$HOME_ABS/edi2/archive" --separator ";"
"$SIMULATOR" cycle --xml --export "$HOME_ABS/xml/out/orders.xml" --confirm "$HOME_ABS/xml/in/confirm.xml" \
  --archive "$HOME_ABS/xml/archive"

step "Batch 2: the confirmations set the sales order numbers (1 -> 6, or 4 for the card order)"
"$BACKOFFICE" batch --home "$HOME_DIR"

step "The orders"
"$BACKOFFICE" orders --home "$HOME_DIR"

cat <<TEXT

Where things are:
  export files taken by the back ends:  $HOME_ABS/edi/archive, $HOME_ABS/edi2/archive, $HOME_ABS/xml/archive
  confirmation files (consumed):        $HOME_ABS/edi/in/confirm.edi, $HOME_ABS/edi2/in/confirm.edi,
                                        $HOME_ABS/xml/in/confirm.xml
  semaphore files of BIS 2:             $HOME_ABS/edi2/command
  log:                                  $HOME_ABS/log/vendalo.log
  the gateway's journal:                $HOME_ABS/gateway-journal.log
  database:                             $HOME_ABS/data/vendalo.db
Run \`make run\` again for another round of orders on the same installation.
TEXT
