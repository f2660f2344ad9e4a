#!/usr/bin/env bash
# The main job on the embedded default, step by step: a demo installation, the
# web shop's orders (the card order authorised at checkout through the HTTP
# host), the batch, the back ends' EDI modules (simulated; BIS 3 takes XML),
# the batch again (confirmations, allocation), the capture of the card order,
# a batch that reports it billed and closes it (status 5), then the shop and
# the requisition broker over HTTP and two more batches that export, confirm
# and acknowledge the broker's orders (status 3). `make run` calls it.
set -euo pipefail
BUILD=${1:-build}
HOME_DIR=${2:-var/demo}
BACKOFFICE="$BUILD/apps/backoffice/backoffice"
SIMULATOR="$BUILD/apps/erp_simulator/erp-simulator"
GATEWAY="$BUILD/apps/gateway_simulator/gateway-simulator"
BROKER="$BUILD/apps/broker_simulator/broker-simulator"
step() { printf '\n== %s\n' "$*"; }

if [ ! -f "$HOME_DIR/config/VendaloConfiguration.xml" ]; then
  step "A new demo installation in $HOME_DIR"
  "$BACKOFFICE" init --demo --home "$HOME_DIR"
else
  step "The installation in $HOME_DIR is brought up to this version"
  "$BACKOFFICE" upgrade --home "$HOME_DIR"
fi
HOME_ABS=$(cd "$HOME_DIR" && pwd)

# Everything started in the background is stopped when the demo ends.
PIDS=()
SERVE_OUT=$(mktemp)
trap 'kill "${PIDS[@]}" 2>/dev/null || true; rm -f "$SERVE_OUT"' EXIT
# Where `backoffice serve` listens: Listen of HTTP_PARAMETERS in VendaloConfiguration.xml, else its default.
listen_address() {
  local a
  a=$(sed -n 's/.*name="Listen">\([^<]*\)<.*/\1/p' "$HOME_DIR/config/VendaloConfiguration.xml" | head -n 1)
  echo "${a:-127.0.0.1:8080}"
}
wait_for() { for _ in $(seq 100); do grep -q "$1" "$2" 2>/dev/null && return; sleep 0.1; done; }

# The outside systems, simulated on loopback where the demo installation expects
# them (plain HTTP is allowed to loopback addresses only).
step "The card gateway (simulated) listens on 127.0.0.1:18490"
"$GATEWAY" serve --port 18490 --journal "$HOME_ABS/gateway-journal.log" > "$HOME_ABS/gateway.out" 2>&1 &
PIDS+=($!)
wait_for listening "$HOME_ABS/gateway.out"
cat "$HOME_ABS/gateway.out"

# The back ends' business objects (allocation, order line status), where the
# demo's instances expect them (BISPROPERTY boiurl). They answer for the sales
# orders the EDI modules confirm into the archives.
step "The back ends' business objects (simulated) listen on 127.0.0.1:18491"
"$SIMULATOR" boi --port 18491 --archive "$HOME_ABS/edi/archive" --archive "$HOME_ABS/edi2/archive" \
  --archive "$HOME_ABS/xml/archive" > "$HOME_ABS/erp-boi.out" 2>&1 &
PIDS+=($!)
wait_for listening "$HOME_ABS/erp-boi.out"
cat "$HOME_ABS/erp-boi.out"

step "The requisition broker (simulated) listens on 127.0.0.1:18492"
"$BROKER" serve --port 18492 --journal "$HOME_ABS/broker-journal.log" > "$HOME_ABS/broker.out" 2>&1 &
PIDS+=($!)
wait_for listening "$HOME_ABS/broker.out"
cat "$HOME_ABS/broker.out"

step "The HTTP host: backoffice serve, for the shop's pages and the broker"
"$BACKOFFICE" serve --home "$HOME_DIR" --listen 127.0.0.1:0 >"$SERVE_OUT" 2>&1 &
SERVE_PID=$!
PIDS+=($SERVE_PID)
wait_for "listening on" "$SERVE_OUT"
URL=$(sed -n 's/^listening on \(http[^ ]*\) .*/\1/p' "$SERVE_OUT")
echo "  listening on $URL"

step "The web shop: customers submit baskets as orders (the card order is authorised at checkout through the API)"
DEMO_OUT="$HOME_ABS/demo-orders.txt"
"$BACKOFFICE" demo --home "$HOME_DIR" --checkout "$URL" | tee "$DEMO_OUT"
CARD_ORDER=$(sed -n 's/^  order \([0-9A-F]*\): .*paid by card$/\1/p' "$DEMO_OUT" | head -n 1)

step "The back end of BIS 2 is ready for the web side (it places edi2/command/command.fil)"
"$SIMULATOR" prepare --export "$HOME_ABS/edi2/out/orders.edi"

step "Batch 1: new orders go to the back ends (status 0 -> 1)"
"$BACKOFFICE" batch --home "$HOME_DIR"

erp_cycles() {
  "$SIMULATOR" cycle --export "$HOME_ABS/edi/out/orders.edi" --confirm "$HOME_ABS/edi/in/confirm.edi" \
    --archive "$HOME_ABS/edi/archive" --separator ","
  "$SIMULATOR" cycle --handshake --export "$HOME_ABS/edi2/out/orders.edi" --confirm "$HOME_ABS/edi2/in/confirm.edi" \
    --archive "$HOME_ABS/edi2/archive" --separator ";"
  "$SIMULATOR" cycle --xml --export "$HOME_ABS/xml/out/orders.xml" --confirm "$HOME_ABS/xml/in/confirm.xml" \
    --archive "$HOME_ABS/xml/archive"
}
step "The back ends take the export files and confirm every order"
erp_cycles

step "Batch 2: the confirmations set the sales order numbers (1 -> 6, or 4 for the card order); the back end allocates the card order's lines (0 -> 1)"
"$BACKOFFICE" batch --home "$HOME_DIR"

step "The card order's allocated lines are captured at the gateway (lines 1 -> 2)"
"$BACKOFFICE" pay --home "$HOME_DIR"

step "Batch 3: the captured lines are reported billed to the back end (2 -> 3) and the card order is closed (4 -> 5, Paid)"
"$BACKOFFICE" batch --home "$HOME_DIR"

step "The web shop over HTTP: one order placed with curl (priced by the host), its order form, a priced catalogue page"
KEY=$(sed -n 's/.*name="ShopApiKey">\([^<]*\)<.*/\1/p' "$HOME_DIR/config/SiteConfiguration.xml")
api() { curl -sS --fail-with-body -H "Authorization: Bearer $KEY" -H "Content-Type: application/json" "$@"; }
field() { python3 -c "import json,sys; print(json.load(sys.stdin)$1)"; }
BASKET=$(api -X POST -d '{"USERID":"jdevries","BUSINESSPARTNERID":2}' "$URL/api/v1/baskets" | field "['header']['BASKETID']")
# priced as it is added: the partner's web price and discount, the catalogue's part number, freight, totals
api -X POST -d '{"SKU":101,"QUANTITY":20,"price":true}' "$URL/api/v1/baskets/$BASKET/lines" | python3 -c "
import json, sys
b = json.load(sys.stdin)
b.pop('BASKETLINENR', None)
b['header'].update(BASKETNAME='Ordered over HTTP', CUSTOMERPONUMBER='PO-HTTP-1', BISID=1, PAYMENTMETHOD=1)
print(json.dumps(b))" | api -X PUT --data @- "$URL/api/v1/baskets/$BASKET" | python3 -c "
import json, sys
b = json.load(sys.stdin)
h = b['header']
for l in b['lines']:
    print('  priced: %s x %s at %s (%s %% off) = %s, freight %s' % (l['QUANTITY'], l['PARTNUMBER'], l['PRODUCTPRICE'],
          l['DISCOUNTPERC'], l['LINEAMOUNT'], l['FREIGHTAMOUNT']))
print('  basket total %s %s: goods %s, freight %s' % (h['TOTAL'], h['CURRENCYCODE'], h['SUBTOTAL'], h['FREIGHTTOTAL']))"
(umask 077; api "$URL/api/v1/baskets/$BASKET/orderform.html?locale=1033" >"$HOME_ABS/orderform.html")  # owner-only: it holds addresses
echo "  the basket's order form, printable: $HOME_ABS/orderform.html"
ORDER=$(api -X POST -d '' "$URL/api/v1/baskets/$BASKET/submit" | field "['ORDERID']")
echo "  order $ORDER placed through $URL/api/v1 (status $(api "$URL/api/v1/orders/$ORDER" | field "['header']['ORDERSTATUS']"))"
api -X POST -d '{"partner":2,"currency":"EUR","products":[101,102,103,104,999]}' "$URL/api/v1/prices/web" |
  python3 -c "
import json, sys
prices = json.load(sys.stdin)['prices']
print('  a catalogue page priced in one call: ' + ', '.join(
    'none' if p is None else '%s %s %s%s' % (p['PRODUCTID'], p['CURRENCYCODE'], p['PRICE'],
                                           '' if p['BUSINESSPARTNERID'] is None else ' (own price)') for p in prices))"

step "The requisition broker sends two requisitions to the intake"
BROKER_KEY=$(sed -n 's/.*name="BrokerApiKey">\([^<]*\)<.*/\1/p' "$HOME_DIR/config/SiteConfiguration.xml")
ROUND=$(date +%s)
requisition() {  # id partner shopper part quantity cost currency
  cat <<XML
<Requisition><Id>$1</Id><Requisitioner><CommonName>Broker buyer</CommonName><ShopperID>$3</ShopperID>
<BusinessPartnerID>$2</BusinessPartnerID></Requisitioner><SupplierPartNumber>$4</SupplierPartNumber>
<BillToAddress/><DeliveryAddress/><Supplier><ShipFromAddress/></Supplier><Quantity>$5</Quantity><Unit>PCS</Unit>
<DateRequired>$(date -d '+14 days' +%m/%d/%Y)</DateRequired><AcknowledgementURL>http://127.0.0.1:18492/ack</AcknowledgementURL>
<Pricing><Currency>$7</Currency><UnitCost>$6</UnitCost><DiscountAmount>0</DiscountAmount></Pricing></Requisition>
XML
}
{
  echo '<?xml version="1.0"?><BizTalk xmlns="urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml"><Body><RequisitionList>'
  requisition "REQ-$ROUND-1" 2 jdevries BOLT-M8 500 0.38 EUR
  requisition "REQ-$ROUND-2" 3 msmith WASHER-8 1000 0.06 USD
  echo '</RequisitionList></Body></BizTalk>'
} > "$HOME_ABS/requisitions.xml"
"$BROKER" send --url "$URL/reqlink/requisitions" --key "$BROKER_KEY" --file "$HOME_ABS/requisitions.xml"

step "A basket goes to the broker as an order request (and is deleted again)"
BASKET=$(api -X POST -d '{"USERID":"jdevries","BUSINESSPARTNERID":2}' "$URL/api/v1/baskets" | field "['header']['BASKETID']")
api -X POST -d '{"SKU":101,"QUANTITY":250}' "$URL/api/v1/baskets/$BASKET/lines" >/dev/null
if SENT=$(api -X POST -d '' "$URL/api/v1/baskets/$BASKET/order-request" 2>/dev/null); then
  echo "  $SENT"
else  # an installation made before the broker existed has no ORDERREQUESTURL for its partners
  echo "  not sent: $(printf '%s' "$SENT" | sed -n 's/.*"description":"\([^"]*\)".*/\1/p') (see the log)"
fi
api -X DELETE "$URL/api/v1/baskets/$BASKET" >/dev/null
kill -TERM $SERVE_PID; wait $SERVE_PID || true

step "Batch 4: the orders placed over HTTP and the broker's go to the back ends (status 0 -> 1)"
"$BACKOFFICE" batch --home "$HOME_DIR"
step "The back ends confirm them"
erp_cycles
step "Batch 5: confirmed broker orders wait for acknowledgement (1 -> 2) and are acknowledged to the broker (2 -> 3)"
"$BACKOFFICE" batch --home "$HOME_DIR"
echo "  the broker received $(grep -c '"path":"/ack"' "$HOME_ABS/broker-journal.log") acknowledgement and" \
  "$(grep -c '"path":"/orders"' "$HOME_ABS/broker-journal.log") order request post(s) so far ($HOME_ABS/broker-journal.log)"

step "The orders (newest first)"
"$BACKOFFICE" orders --home "$HOME_DIR"

if [ -n "$CARD_ORDER" ]; then
  step "The card order whole, and its timeline: authorised at checkout, submitted, exported, confirmed, allocated, captured, billed, paid"
  "$BACKOFFICE" orders show "$CARD_ORDER" --home "$HOME_DIR"
fi

cat <<TEXT

Where things are:
  export files taken by the back ends:  $HOME_ABS/edi/archive, $HOME_ABS/edi2/archive, $HOME_ABS/xml/archive
  confirmation files (consumed):        $HOME_ABS/edi/in/confirm.edi, $HOME_ABS/edi2/in/confirm.edi,
                                        $HOME_ABS/xml/in/confirm.xml
  semaphore files of BIS 2:             $HOME_ABS/edi2/command
  log:                                  $HOME_ABS/log/vendalo.log
  the gateway's journal:                $HOME_ABS/gateway-journal.log
  sales orders the back ends know:      $HOME_ABS/edi/archive/sales-orders (and edi2, xml)
  the broker's journal:                 $HOME_ABS/broker-journal.log
  database:                             $HOME_ABS/data/vendalo.db
The console:        $BACKOFFICE serve --home $HOME_DIR   then open http://$(listen_address)/
                    and log in with a key of \`$BACKOFFICE operator add NAME --home $HOME_DIR\`
                    (or OperatorApiKey of $HOME_ABS/config/SiteConfiguration.xml, section API)
One order and its timeline:  $BACKOFFICE orders show ORDERID --home $HOME_DIR
Run \`make run\` again for another round of orders on the same installation.
TEXT
