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

step "Batch 2: the confirmations set the sales order numbers (1 -> 6, or 4 for the card order)"
"$BACKOFFICE" batch --home "$HOME_DIR"

step "The web shop over HTTP: backoffice serve, one order placed with curl"
SERVE_OUT=$(mktemp)
"$BACKOFFICE" serve --home "$HOME_DIR" --listen 127.0.0.1:0 >"$SERVE_OUT" 2>&1 &
SERVE_PID=$!
trap 'kill $SERVE_PID 2>/dev/null || true; rm -f "$SERVE_OUT"' EXIT
for _ in $(seq 100); do grep -q "listening on" "$SERVE_OUT" && break; sleep 0.1; done
URL=$(sed -n 's/^listening on \(http[^ ]*\) .*/\1/p' "$SERVE_OUT")
KEY=$(sed -n 's/.*name="ShopApiKey">\([^<]*\)<.*/\1/p' "$HOME_DIR/config/SiteConfiguration.xml")
api() { curl -sS --fail-with-body -H "Authorization: Bearer $KEY" -H "Content-Type: application/json" "$@"; }
field() { python3 -c "import json,sys; print(json.load(sys.stdin)$1)"; }
BASKET=$(api -X POST -d '{"USERID":"jdevries","BUSINESSPARTNERID":2}' "$URL/api/v1/baskets" | field "['header']['BASKETID']")
api -X POST -d '{"SKU":101,"QUANTITY":20}' "$URL/api/v1/baskets/$BASKET/lines" >/dev/null
api "$URL/api/v1/baskets/$BASKET" | python3 -c "
import json, sys
b = json.load(sys.stdin)
b.pop('BASKETLINENR', None)
h = b['header']
h.update(BASKETNAME='Ordered over HTTP', CUSTOMERPONUMBER='PO-HTTP-1', DISCOUNTPERC=0, BISID=1, PAYMENTMETHOD=1)
for l in b['lines']:
    l.update(PRODUCTUNITCODE='PCS', PARTNUMBER='BOLT-M8', PRODUCTPRICE=0.12, LINEAMOUNT=2.4, DISCOUNTPERC=0,
             DISCOUNTAMOUNT=0, ADDRESSID=h['SHIPPINGADDRESSID'])
h.update(SUBTOTAL=2.4, TOTAL=2.4)
print(json.dumps(b))" | api -X PUT --data @- "$URL/api/v1/baskets/$BASKET" >/dev/null
ORDER=$(api -X POST -d '' "$URL/api/v1/baskets/$BASKET/submit" | field "['ORDERID']")
echo "  order $ORDER placed through $URL/api/v1 (status $(api "$URL/api/v1/orders/$ORDER" | field "['header']['ORDERSTATUS']"))"

step "The requisition broker (simulated on 127.0.0.1:18491) sends two requisitions to the intake"
"$BROKER" serve --port 18491 --journal "$HOME_ABS/broker-journal.log" > "$HOME_ABS/broker.out" 2>&1 &
BROKER_PID=$!
trap 'kill $SERVE_PID $BROKER_PID $GATEWAY_PID 2>/dev/null || true; rm -f "$SERVE_OUT"' EXIT
for _ in $(seq 50); do grep -q listening "$HOME_ABS/broker.out" 2>/dev/null && break; sleep 0.1; done
BROKER_KEY=$(sed -n 's/.*name="BrokerApiKey">\([^<]*\)<.*/\1/p' "$HOME_DIR/config/SiteConfiguration.xml")
ROUND=$(date +%s)
requisition() {  # id partner shopper part quantity cost
  cat <<XML
<Requisition><Id>$1</Id><Requisitioner><CommonName>Broker buyer</CommonName><ShopperID>$3</ShopperID>
<BusinessPartnerID>$2</BusinessPartnerID></Requisitioner><SupplierPartNumber>$4</SupplierPartNumber>
<BillToAddress/><DeliveryAddress/><Supplier><ShipFromAddress/></Supplier><Quantity>$5</Quantity><Unit>PCS</Unit>
<DateRequired>$(date -d '+14 days' +%m/%d/%Y)</DateRequired><AcknowledgementURL>http://127.0.0.1:18491/ack</AcknowledgementURL>
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
echo "  $(api -X POST -d '' "$URL/api/v1/baskets/$BASKET/order-request")"
api -X DELETE "$URL/api/v1/baskets/$BASKET" >/dev/null
kill -TERM $SERVE_PID; wait $SERVE_PID || true

step "Batch 3: the broker's orders go to the back end (status 0 -> 1)"
"$BACKOFFICE" batch --home "$HOME_DIR"
step "The back ends confirm them"
erp_cycles
step "Batch 4: confirmed broker orders wait for acknowledgement (1 -> 2) and are acknowledged to the broker (2 -> 3)"
"$BACKOFFICE" batch --home "$HOME_DIR"
echo "  the broker received $(grep -c '"path":"/ack"' "$HOME_ABS/broker-journal.log") acknowledgement and" \
  "$(grep -c '"path":"/orders"' "$HOME_ABS/broker-journal.log") order request post(s) so far ($HOME_ABS/broker-journal.log)"

step "The orders (newest first)"
"$BACKOFFICE" orders --home "$HOME_DIR"

cat <<TEXT

Where things are:
  export files taken by the back ends:  $HOME_ABS/edi/archive, $HOME_ABS/edi2/archive, $HOME_ABS/xml/archive
  confirmation files (consumed):        $HOME_ABS/edi/in/confirm.edi, $HOME_ABS/edi2/in/confirm.edi,
                                        $HOME_ABS/xml/in/confirm.xml
  semaphore files of BIS 2:             $HOME_ABS/edi2/command
  log:                                  $HOME_ABS/log/vendalo.log
  the gateway's journal:                $HOME_ABS/gateway-journal.log
  the broker's journal:                 $HOME_ABS/broker-journal.log
  database:                             $HOME_ABS/data/vendalo.db
The operator page:  $BACKOFFICE serve --home $HOME_DIR   then open http://127.0.0.1:8080/
                    and log in with OperatorApiKey of $HOME_ABS/config/SiteConfiguration.xml
Run \`make run\` again for another round of orders on the same installation.
TEXT
