-- The sales database. One script for both providers: SQLite and PostgreSQL
-- read the same declarations, so both report the same field types
-- (NUMERIC(19,4) is a currency amount; DATE a day; TIMESTAMP a moment).
-- No foreign keys lead from these tables to master data: the platform keeps
-- that integrity through its referential checks before master data is deleted.

-- Baskets --------------------------------------------------------------------

CREATE TABLE BASKETHEADER (
    BASKETID                  VARCHAR(32) NOT NULL PRIMARY KEY,
    BASKETNAME                VARCHAR(100),
    BASKETDATE                TIMESTAMP,
    USERID                    VARCHAR(50),
    BUSINESSPARTNERID         INTEGER,
    BILLINGADDRESSID          INTEGER,
    SHIPPINGADDRESSID         INTEGER,
    CURRENCYCODE              VARCHAR(3),
    CARRIERCODE               VARCHAR(20),
    BASKETTEXT                TEXT,
    DISCOUNTPERC              DOUBLE PRECISION DEFAULT 0,
    CUSTOMERPONUMBER          VARCHAR(50),
    ACKNOWLEDGEMENTURL        VARCHAR(500),
    BISID                     INTEGER,
    FREIGHTTOTAL              NUMERIC(19,4),
    PAYMENTMETHOD             SMALLINT,
    FREIGHTTAXTOTAL           NUMERIC(19,4),
    CALCULATETAX              BOOLEAN,
    CURRENCYDECIMALS          SMALLINT,
    CUSTOMERCODE              VARCHAR(50),
    CUSTOMERNAME              VARCHAR(100),
    FREIGHTTAXCODE            VARCHAR(20),
    FREIGHTTAXCODEDESCRIPTION VARCHAR(100),
    FREIGHTTAXPERC            DOUBLE PRECISION,
    SUBTOTAL                  NUMERIC(19,4),
    TAXTOTAL                  NUMERIC(19,4),
    TOTAL                     NUMERIC(19,4),
    TOTALNETAMOUNT            NUMERIC(19,4),
    DISCOUNTTOTAL             NUMERIC(19,4),
    CURRENCYSYMBOL            VARCHAR(10),
    USERLOCALE                INTEGER
);
CREATE INDEX BASKETHEADER_PARTNER ON BASKETHEADER (BUSINESSPARTNERID);
CREATE INDEX BASKETHEADER_USER ON BASKETHEADER (USERID);
CREATE INDEX BASKETHEADER_CARRIER ON BASKETHEADER (CARRIERCODE);
CREATE INDEX BASKETHEADER_CURRENCY ON BASKETHEADER (CURRENCYCODE);

CREATE TABLE BASKETLINE (
    BASKETID            VARCHAR(32) NOT NULL,
    BASKETLINENR        INTEGER NOT NULL,
    SKU                 INTEGER,
    QUANTITY            DOUBLE PRECISION,
    REQUESTDATE         DATE,
    ADDRESSID           INTEGER,
    LINETEXT            TEXT,
    PRODUCTCONFIGURABLE BOOLEAN,
    PRODUCTCONFIGID     VARCHAR(50),
    PRODUCTUNITCODE     VARCHAR(10),
    PRODUCTPRICE        NUMERIC(19,4),
    DISCOUNTPERC        DOUBLE PRECISION DEFAULT 0,
    DISCOUNTAMOUNT      NUMERIC(19,4) DEFAULT 0,
    LINEDISCOUNTAMOUNT  NUMERIC(19,4),
    LINEAMOUNT          NUMERIC(19,4),
    TAXAMOUNT           NUMERIC(19,4),
    FREIGHTAMOUNT       NUMERIC(19,4),
    TAXCODE             VARCHAR(20),
    TAXPERCENTAGE       DOUBLE PRECISION,
    TAXCODEDESCRIPTION  VARCHAR(100),
    FREIGHTTAXAMOUNT    NUMERIC(19,4),
    ORDERDISCOUNTAMOUNT NUMERIC(19,4),
    PARTNUMBER          VARCHAR(50),
    PRIMARY KEY (BASKETID, BASKETLINENR)
);
CREATE INDEX BASKETLINE_SKU ON BASKETLINE (SKU);
CREATE INDEX BASKETLINE_UNIT ON BASKETLINE (PRODUCTUNITCODE);

-- Orders ---------------------------------------------------------------------

CREATE TABLE ORDERHEADER (
    ORDERID                   VARCHAR(32) NOT NULL PRIMARY KEY,
    CURRENCYCODE              VARCHAR(3),
    USERID                    VARCHAR(50),
    SHIPPINGADDRESSID         INTEGER,
    BILLINGADDRESSID          INTEGER,
    BUSINESSPARTNERID         INTEGER,
    CARRIERCODE               VARCHAR(20),
    ORDERLISTNAME             VARCHAR(100),
    ORDERSTATUS               SMALLINT NOT NULL DEFAULT 0,
    ORDERDATE                 TIMESTAMP,
    HEADERTEXT                TEXT,
    SALESORDERNR              VARCHAR(20),
    DISCOUNTPERC              DOUBLE PRECISION,
    CUSTOMERPONR              VARCHAR(50),
    ACKNOWLEDGEMENTURL        VARCHAR(500),
    BISID                     INTEGER,
    FREIGHTTOTAL              NUMERIC(19,4),
    WEBPAYMENTMETHOD          SMALLINT,
    FREIGHTTAX                NUMERIC(19,4),
    CALCULATETAX              SMALLINT,
    CURRENCYDECIMALS          SMALLINT,
    CUSTOMERCODE              VARCHAR(50),
    CUSTOMERNAME              VARCHAR(100),
    FREIGHTTAXCODE            VARCHAR(20),
    FREIGHTTAXCODEDESCRIPTION VARCHAR(100),
    FREIGHTTAXPERC            DOUBLE PRECISION,
    SUBTOTAL                  NUMERIC(19,4),
    TAXTOTAL                  NUMERIC(19,4),
    TOTAL                     NUMERIC(19,4),
    TOTALNETAMOUNT            NUMERIC(19,4),
    DISCOUNTTOTAL             NUMERIC(19,4),
    CURRENCYSYMBOL            VARCHAR(10)
);
-- the export selects by status, instance and partner; the batch closes by status
CREATE INDEX ORDERHEADER_STATUS ON ORDERHEADER (ORDERSTATUS, BISID, BUSINESSPARTNERID);
CREATE INDEX ORDERHEADER_PARTNER ON ORDERHEADER (BUSINESSPARTNERID);
CREATE INDEX ORDERHEADER_USER ON ORDERHEADER (USERID);
CREATE INDEX ORDERHEADER_CARRIER ON ORDERHEADER (CARRIERCODE);
CREATE INDEX ORDERHEADER_CURRENCY ON ORDERHEADER (CURRENCYCODE);
-- order lists page newest first by (ORDERDATE, ORDERID)
CREATE INDEX ORDERHEADER_DATE ON ORDERHEADER (ORDERDATE, ORDERID);
-- the operators' search finds an order by its sales order or PO number
CREATE INDEX ORDERHEADER_SALESORDER ON ORDERHEADER (SALESORDERNR);
CREATE INDEX ORDERHEADER_PONUMBER ON ORDERHEADER (CUSTOMERPONR);
-- the oldest order of each status, for the metrics: one index probe per status
CREATE INDEX ORDERHEADER_STATUS_DATE ON ORDERHEADER (ORDERSTATUS, ORDERDATE);
-- a broker's requisition becomes one order, also when the broker sends it again (web
-- orders store an empty URL and may repeat their purchase order numbers)
CREATE UNIQUE INDEX ORDERHEADER_REQUISITION ON ORDERHEADER (BUSINESSPARTNERID, CUSTOMERPONR, ACKNOWLEDGEMENTURL) WHERE ACKNOWLEDGEMENTURL IS NOT NULL AND ACKNOWLEDGEMENTURL <> '';

-- The broker's requisitions being turned into orders: a requisition takes its
-- row (partner, Id, acknowledgement URL) before it creates anything and gives
-- it back when its order is stored or it fails, so a retry racing it waits for
-- its order instead of making addresses of its own. CLAIMTOKEN tells holders
-- apart; a row left by a crash is taken over once CLAIMED is old.
CREATE TABLE REQUISITIONINTAKE (
    BUSINESSPARTNERID  INTEGER NOT NULL,
    CUSTOMERPONR       VARCHAR(50) NOT NULL,
    ACKNOWLEDGEMENTURL VARCHAR(500) NOT NULL,
    CLAIMTOKEN         VARCHAR(32) NOT NULL,
    CLAIMED            TIMESTAMP NOT NULL,
    PRIMARY KEY (BUSINESSPARTNERID, CUSTOMERPONR, ACKNOWLEDGEMENTURL)
);

CREATE TABLE ORDERLINE (
    ORDERID            VARCHAR(32) NOT NULL,
    LINENR             INTEGER NOT NULL,
    PRODUCTID          INTEGER,
    UNITCODE           VARCHAR(10),
    ADDRESSID          INTEGER,
    QUANTITY           DOUBLE PRECISION,
    PRICE              NUMERIC(19,4),
    DISCOUNTPERC       DOUBLE PRECISION,
    DISCOUNTAMOUNT     NUMERIC(19,4),
    AMOUNT             NUMERIC(19,4),
    CONFIGID           VARCHAR(50),
    CONFIGCOMPLETE     SMALLINT,
    LINETEXT           TEXT,
    REQUESTDATE        DATE,
    ALLOCATIONDATE     TIMESTAMP,
    LINETAX            NUMERIC(19,4),
    LINEFREIGHT        NUMERIC(19,4),
    TAXCODE            VARCHAR(20),
    TAXPERCENTAGE      DOUBLE PRECISION,
    TAXCODEDESCRIPTION VARCHAR(100),
    LINEFREIGHTTAX     NUMERIC(19,4),
    LINESTATUS         SMALLINT NOT NULL DEFAULT 0,
    ORDERDISCOUNT      NUMERIC(19,4),
    PARTNUMBER         VARCHAR(50),
    PRIMARY KEY (ORDERID, LINENR)
);
CREATE INDEX ORDERLINE_PRODUCT ON ORDERLINE (PRODUCTID);
CREATE INDEX ORDERLINE_UNIT ON ORDERLINE (UNITCODE);
CREATE INDEX ORDERLINE_STATUS ON ORDERLINE (LINESTATUS);

-- Every order's timeline, append-only: one row for each change of ORDERSTATUS
-- (LINENR NULL) or of a line's LINESTATUS, written in the transaction of the
-- change, so the last row of an order (of a line) holds its status. SEQ counts
-- from 1 within the order. EVENTTIME is UTC. STATUSBEFORE is NULL for a new
-- order or line. WHAT: "submitted", "exported", "confirmed", "acknowledged",
-- "allocated", "captured", "billing reported", "paid", "billing issue",
-- "resolved", "operator", "recorded at upgrade". ACTOR: the request, batch run
-- or payment run that made the change ("request <id>", "batch <id>", "payment
-- run <id>"). REFERENCE: the file, entry, gateway request or post behind it.
CREATE TABLE ORDEREVENT (
    ORDERID      VARCHAR(32) NOT NULL,
    SEQ          INTEGER NOT NULL,
    EVENTTIME    TIMESTAMP NOT NULL,
    LINENR       INTEGER,
    STATUSBEFORE SMALLINT,
    STATUSAFTER  SMALLINT NOT NULL,
    WHAT         VARCHAR(30) NOT NULL,
    ACTOR        VARCHAR(100),
    REFERENCE    VARCHAR(500),
    DETAIL       VARCHAR(500),
    PRIMARY KEY (ORDERID, SEQ)
);

CREATE TABLE ADDRESSHISTORY (
    ORDERID          VARCHAR(32) NOT NULL,
    ADDRESSID        INTEGER NOT NULL,
    COUNTRYCODE      VARCHAR(3),
    NAME1            VARCHAR(100),
    NAME2            VARCHAR(100),
    STREET1          VARCHAR(100),
    STREET2          VARCHAR(100),
    CITY1            VARCHAR(100),
    CITY2            VARCHAR(100),
    STATEPROVINCE    VARCHAR(50),
    ZIPCODE          VARCHAR(20),
    PHONE            VARCHAR(50),
    FAX              VARCHAR(50),
    COUNTRYNAME      VARCHAR(100),
    SHORTDESCRIPTION VARCHAR(100),
    PRIMARY KEY (ORDERID, ADDRESSID)
);

-- Prices and freight ------------------------------------------------------------

CREATE TABLE CUSTOMERPRICE (
    BUSINESSPARTNERID INTEGER NOT NULL,
    PRODUCTID         INTEGER NOT NULL,
    EFFECTIVEDATE     TIMESTAMP NOT NULL,
    CURRENCYCODE      VARCHAR(3) NOT NULL,
    EXPIRYDATE        TIMESTAMP,
    PRICE             NUMERIC(18,8),
    DISCOUNTPERC      NUMERIC(18,2),
    DISCOUNTAMOUNT    NUMERIC(18,8),
    PRIMARY KEY (BUSINESSPARTNERID, PRODUCTID, EFFECTIVEDATE, CURRENCYCODE)
);
CREATE INDEX CUSTOMERPRICE_PRODUCT ON CUSTOMERPRICE (PRODUCTID, CURRENCYCODE);
CREATE INDEX CUSTOMERPRICE_CURRENCY ON CUSTOMERPRICE (CURRENCYCODE);
-- the price look-up and the overlap checks seek the latest record of a key up to a day
CREATE INDEX CUSTOMERPRICE_VALIDITY ON CUSTOMERPRICE (BUSINESSPARTNERID, PRODUCTID, CURRENCYCODE, EFFECTIVEDATE);

CREATE TABLE PRODUCTPRICE (
    PRODUCTID      INTEGER NOT NULL,
    EFFECTIVEDATE  TIMESTAMP NOT NULL,
    CURRENCYCODE   VARCHAR(3) NOT NULL,
    EXPIRYDATE     TIMESTAMP,
    PRICE          NUMERIC(18,8),
    DISCOUNTPERC   NUMERIC(18,2),
    DISCOUNTAMOUNT NUMERIC(18,8),
    PRIMARY KEY (PRODUCTID, EFFECTIVEDATE, CURRENCYCODE)
);
CREATE INDEX PRODUCTPRICE_CURRENCY ON PRODUCTPRICE (CURRENCYCODE);
CREATE INDEX PRODUCTPRICE_VALIDITY ON PRODUCTPRICE (PRODUCTID, CURRENCYCODE, EFFECTIVEDATE);

-- The price a partner pays for a product on a day, in a currency (the shop's
-- database procedure "GetPrice"): the partner's customer price in the requested
-- currency, in the home currency, then the list price in the requested currency,
-- in the home currency; within each the latest record valid on the day
-- (EFFECTIVEDATE inclusive, EXPIRYDATE exclusive, Null open). A record without
-- a price is never chosen. At most one row. SQLite has no procedures: the data
-- layer runs the same query, registered by Vendalo.Pricing.
-- provider: PostgreSQL
CREATE OR REPLACE FUNCTION GETPRICE(PRODID INTEGER, BPID INTEGER, CURRENCY VARCHAR, HOMECURRENCY VARCHAR,
                                    ORDERDATE TIMESTAMP)
RETURNS TABLE (PRODUCTID INTEGER, BUSINESSPARTNERID INTEGER, CURRENCYCODE VARCHAR(3), EFFECTIVEDATE TIMESTAMP,
               EXPIRYDATE TIMESTAMP, PRICE NUMERIC(18,8), DISCOUNTPERC NUMERIC(18,2), DISCOUNTAMOUNT NUMERIC(18,8))
LANGUAGE sql STABLE AS $$
SELECT C.PRODUCTID, C.BUSINESSPARTNERID, C.CURRENCYCODE, C.EFFECTIVEDATE, C.EXPIRYDATE, C.PRICE, C.DISCOUNTPERC,
       C.DISCOUNTAMOUNT
FROM (
    SELECT * FROM (SELECT 1 AS PRECEDENCE, P.BUSINESSPARTNERID, P.PRODUCTID, P.CURRENCYCODE, P.EFFECTIVEDATE, P.EXPIRYDATE, P.PRICE, P.DISCOUNTPERC, P.DISCOUNTAMOUNT
        FROM CUSTOMERPRICE P WHERE P.BUSINESSPARTNERID = $2
        AND P.PRODUCTID = $1 AND P.CURRENCYCODE = $3 AND P.EFFECTIVEDATE <= $5
        AND (P.EXPIRYDATE IS NULL OR P.EXPIRYDATE > $5) AND P.PRICE IS NOT NULL
        ORDER BY P.EFFECTIVEDATE DESC LIMIT 1) AS C1
    UNION ALL
    SELECT * FROM (SELECT 2 AS PRECEDENCE, P.BUSINESSPARTNERID, P.PRODUCTID, P.CURRENCYCODE, P.EFFECTIVEDATE, P.EXPIRYDATE, P.PRICE, P.DISCOUNTPERC, P.DISCOUNTAMOUNT
        FROM CUSTOMERPRICE P WHERE P.BUSINESSPARTNERID = $2
        AND P.PRODUCTID = $1 AND P.CURRENCYCODE = $4 AND P.EFFECTIVEDATE <= $5
        AND (P.EXPIRYDATE IS NULL OR P.EXPIRYDATE > $5) AND P.PRICE IS NOT NULL
        ORDER BY P.EFFECTIVEDATE DESC LIMIT 1) AS C2
    UNION ALL
    SELECT * FROM (SELECT 3 AS PRECEDENCE, NULL::INTEGER AS BUSINESSPARTNERID, P.PRODUCTID, P.CURRENCYCODE, P.EFFECTIVEDATE, P.EXPIRYDATE, P.PRICE, P.DISCOUNTPERC, P.DISCOUNTAMOUNT
        FROM PRODUCTPRICE P
        WHERE P.PRODUCTID = $1 AND P.CURRENCYCODE = $3 AND P.EFFECTIVEDATE <= $5
        AND (P.EXPIRYDATE IS NULL OR P.EXPIRYDATE > $5) AND P.PRICE IS NOT NULL
        ORDER BY P.EFFECTIVEDATE DESC LIMIT 1) AS P1
    UNION ALL
    SELECT * FROM (SELECT 4 AS PRECEDENCE, NULL::INTEGER AS BUSINESSPARTNERID, P.PRODUCTID, P.CURRENCYCODE, P.EFFECTIVEDATE, P.EXPIRYDATE, P.PRICE, P.DISCOUNTPERC, P.DISCOUNTAMOUNT
        FROM PRODUCTPRICE P
        WHERE P.PRODUCTID = $1 AND P.CURRENCYCODE = $4 AND P.EFFECTIVEDATE <= $5
        AND (P.EXPIRYDATE IS NULL OR P.EXPIRYDATE > $5) AND P.PRICE IS NOT NULL
        ORDER BY P.EFFECTIVEDATE DESC LIMIT 1) AS P2
) AS C
ORDER BY C.PRECEDENCE
LIMIT 1
$$;

CREATE TABLE ZONES (
    ZONEID          SMALLINT NOT NULL PRIMARY KEY,
    ZONEDESCRIPTION VARCHAR(100)
);

CREATE TABLE COUNTRIESBYZONE (
    COUNTRY    VARCHAR(3) NOT NULL,
    MAXZIPCODE VARCHAR(20) NOT NULL,
    ZONEID     SMALLINT NOT NULL,
    PRIMARY KEY (COUNTRY, MAXZIPCODE)
);

CREATE TABLE FREIGHTGROUP (
    FREIGHTGROUPID SMALLINT NOT NULL PRIMARY KEY,
    SHIPFROMZONE   SMALLINT
);

CREATE TABLE FREIGHTPRODUCT (
    PRODUCTID      INTEGER NOT NULL PRIMARY KEY,
    FREIGHTGROUPID SMALLINT,
    ADDITIONALCOST DOUBLE PRECISION
);

CREATE TABLE FREIGHTPRICE (
    FREIGHTGROUPID      SMALLINT NOT NULL,
    CARRIER             VARCHAR(20) NOT NULL,
    SHIPFROMZONEID      SMALLINT NOT NULL,
    SHIPTOZONEID        SMALLINT NOT NULL,
    DELIVERYFREIGHTCOST NUMERIC(19,4),
    ITEMFREIGHTCOST     NUMERIC(19,4),
    PRIMARY KEY (FREIGHTGROUPID, CARRIER, SHIPFROMZONEID, SHIPTOZONEID)
);
CREATE INDEX FREIGHTPRICE_CARRIER ON FREIGHTPRICE (CARRIER);

-- Export registry: one row per back-end integration instance. Its rows are kept
-- by the administrators; BISID is unique but not declared NOT NULL, so that a
-- faulty row can be reported instead of refused.
CREATE TABLE ORDEREXPORTFILE (
    BISID                   INTEGER UNIQUE,
    FILENAME                VARCHAR(260),
    EXPORTMESSAGETYPE       VARCHAR(10),
    CONFIRMATIONFILENAME    VARCHAR(260),
    CONFIRMATIONMESSAGETYPE VARCHAR(10),
    USEEDISEMAPHORE         VARCHAR(10),
    EDIFIELDSEPARATOR       VARCHAR(10),
    EDIESCAPESEPARATOR      VARCHAR(10),
    USEFTP                  VARCHAR(10),
    SYSTEM                  VARCHAR(100),
    SYSTEMPORT              VARCHAR(10),
    PROXYSERVER             VARCHAR(100),
    PROXYPORT               VARCHAR(10),
    LOGIN                   VARCHAR(100),
    PASSWORD                VARCHAR(100)
);

-- One row per batch run, written when the run ends (the operator page and the
-- metrics read them). OUTCOME: 0 the batch ran, 1 it stopped early, 2 it failed.
-- RUNTRIGGER: "schedule" (the command line, the timer) or "operator" (the
-- console's "Run batch now", OPERATORNAME the person). STAGES: a JSON array of
-- the stages' counts and seconds ([{"name", "counts": {...}, "seconds"}]).
CREATE TABLE BATCHRUN (
    BATCHID      VARCHAR(32) NOT NULL PRIMARY KEY,
    STARTED      TIMESTAMP NOT NULL,
    FINISHED     TIMESTAMP,
    DURATIONMS   INTEGER,
    OUTCOME      SMALLINT NOT NULL DEFAULT 0,
    SUMMARY      TEXT,
    RUNTRIGGER   VARCHAR(20),
    OPERATORNAME VARCHAR(100),
    STAGES       TEXT
);
CREATE INDEX BATCHRUN_STARTED ON BATCHRUN (STARTED);

-- The people who operate the installation: each has a personal key, kept as
-- its SHA-256 (the key is random, 32 bytes from the kernel; it is shown once
-- when made and never stored). A removed operator keeps the row (REMOVED set)
-- so that the activity still names a known person; its key opens nothing.
CREATE TABLE OPERATOR (
    NAME    VARCHAR(100) NOT NULL PRIMARY KEY,
    KEYHASH VARCHAR(64) NOT NULL UNIQUE,
    CREATED TIMESTAMP NOT NULL,
    REMOVED TIMESTAMP
);

-- What operators did at the console, newest last: WHAT is "login", "logout",
-- "failed login" (never the key tried) or "Run batch now"; OPERATORNAME the
-- person (or "operator key"; "" for a failed login), REQUESTID the request's
-- X-Request-Id. ACTIVITYID is random: rows are ordered by ACTIVITYTIME, then it.
CREATE TABLE OPERATORACTIVITY (
    ACTIVITYID   VARCHAR(32) NOT NULL PRIMARY KEY,
    ACTIVITYTIME TIMESTAMP NOT NULL,
    OPERATORNAME VARCHAR(100) NOT NULL,
    WHAT         VARCHAR(30) NOT NULL,
    DETAIL       VARCHAR(500),
    REQUESTID    VARCHAR(64)
);
CREATE INDEX OPERATORACTIVITY_TIME ON OPERATORACTIVITY (ACTIVITYTIME);

-- One row per exchange with the outside, written in the transaction of the
-- work it records. KIND: 'export group', 'file placed', 'confirmation file',
-- 'refused entry', 'gateway request', 'business object call', 'broker post'.
-- An export group names the file it went to, where it sits in it (FILEOFFSET,
-- FILELENGTH), the SHA-256 of its bytes and the copy kept of them (ARCHIVE); a
-- refused confirmation entry holds the entry as the file held it (ENTRYTEXT),
-- why it was refused (DETAIL), and OUTCOME 'waiting' until an operator applies
-- or dismisses it. Never card data. Rows are kept ExchangeRetentionDays days.
CREATE TABLE EXCHANGE (
    EXCHANGEID   VARCHAR(32) NOT NULL PRIMARY KEY,
    EXCHANGETIME TIMESTAMP NOT NULL,
    KIND         VARCHAR(30) NOT NULL,
    OUTCOME      VARCHAR(30) NOT NULL,
    BISID        INTEGER,
    FILENAME     VARCHAR(500),
    FILEOFFSET   BIGINT,
    FILELENGTH   BIGINT,
    ORDERCOUNT   INTEGER,
    REFERENCE    VARCHAR(500),
    SHA256       VARCHAR(64),
    ARCHIVE      VARCHAR(500),
    DURATIONMS   INTEGER,
    DETAIL       VARCHAR(2000),
    ENTRYTEXT    TEXT,
    HTTPSTATUS   INTEGER,
    ATTEMPT      INTEGER
);
CREATE INDEX EXCHANGE_TIME ON EXCHANGE (EXCHANGETIME, EXCHANGEID);
CREATE INDEX EXCHANGE_KIND ON EXCHANGE (KIND, OUTCOME, EXCHANGETIME);

-- The orders of an exchange (an export group's, a confirmation entry's, a call's).
CREATE TABLE EXCHANGEORDER (
    ORDERID    VARCHAR(32) NOT NULL,
    EXCHANGEID VARCHAR(32) NOT NULL,
    PRIMARY KEY (ORDERID, EXCHANGEID)
);
CREATE INDEX EXCHANGEORDER_EXCHANGE ON EXCHANGEORDER (EXCHANGEID);

-- What the batches have done per back-end instance since the installation
-- began, added to by each batch in the transaction of its BATCHRUN row, so that
-- the metrics read one row per instance and count: COUNTNAME "exported",
-- "confirmed", "refused" (confirmation entries refused), "unmatched"
-- (confirmation entries naming no order of the database).
CREATE TABLE BATCHTOTAL (
    BISID     VARCHAR(50) NOT NULL,
    COUNTNAME VARCHAR(20) NOT NULL,
    TOTAL     BIGINT NOT NULL DEFAULT 0,
    PRIMARY KEY (BISID, COUNTNAME)
);

-- Hosts of outside calls that did not answer, skipped by the batches until UNTIL
-- (host names in lower case, whatever the port or path).
CREATE TABLE OUTSIDEHOSTBACKOFF (
    HOSTNAME VARCHAR(255) NOT NULL PRIMARY KEY,
    UNTIL    TIMESTAMP NOT NULL,
    REASON   VARCHAR(512)
);

-- The HTTP host's Idempotency-Key records, kept 24 hours (EXPIRES). A key
-- belongs to the API key that sent it (OWNERHASH: the SHA-256 of that key,
-- never the key); REQUESTHASH is the SHA-256 of the request's method, target
-- and body (never the body). The INSERT of the row is the claim of the key, on
-- every host of the database. STATE: RUNNING while the first request runs,
-- DONE with its answer (STATUS, the headers that matter as a JSON object,
-- BODY). A request the host answered with a 5xx gives its row up.
CREATE TABLE IDEMPOTENCYKEY (
    OWNERHASH   VARCHAR(64) NOT NULL,
    CLIENTKEY   VARCHAR(255) NOT NULL,
    REQUESTHASH VARCHAR(64) NOT NULL,
    STATE       VARCHAR(10) NOT NULL,
    CREATED     TIMESTAMP NOT NULL,
    EXPIRES     TIMESTAMP NOT NULL,
    STATUS      INTEGER,
    HEADERS     TEXT,
    BODY        TEXT,
    PRIMARY KEY (OWNERHASH, CLIENTKEY)
);
CREATE INDEX IDEMPOTENCYKEY_EXPIRES ON IDEMPOTENCYKEY (EXPIRES);

-- Payment ----------------------------------------------------------------------------

CREATE TABLE MERCHANTIDBYCURRENCY (
    CURRENCYCODE VARCHAR(3) NOT NULL PRIMARY KEY,
    MERCHANTID   VARCHAR(100)
);

-- The gateway logs keep the gateway's texts as they came.
CREATE TABLE AUTHORIZATIONLOG (
    MERCHANT_REF_NUMBER VARCHAR(32),
    CUSTOMER_CC_NUMBER  VARCHAR(30),
    CUSTOMER_CC_EXPMO   VARCHAR(10),
    CUSTOMER_CC_EXPYR   VARCHAR(10),
    AUTH_AUTH_AVS       VARCHAR(20),
    ICS_RMSG            VARCHAR(255),
    ICS_RFLAG           VARCHAR(50),
    AUTH_AUTH_AMOUNT    VARCHAR(30),
    AUTH_RCODE          INTEGER,
    AUTH_RMSG           VARCHAR(255),
    AUTH_AUTH_CODE      VARCHAR(50),
    AUTH_AUTH_TIME      VARCHAR(30),
    ICS_RCODE           VARCHAR(10),
    AUTH_RFLAG          VARCHAR(50),
    AUTH_REQUEST_ID     VARCHAR(50),
    BILL_CITY           VARCHAR(100),
    BILL_STATE          VARCHAR(50),
    BILL_ZIP            VARCHAR(20),
    BILL_COUNTRY        VARCHAR(50),
    CUSTOMER_FIRSTNAME  VARCHAR(100),
    CUSTOMER_LASTNAME   VARCHAR(100),
    CUSTOMER_EMAIL      VARCHAR(200),
    CUSTOMER_PHONE      VARCHAR(50),
    BILL_ADDRESS1       VARCHAR(200),
    CURRENCY            VARCHAR(3),
    OFFERS              TEXT,
    ICS_APPLICATIONS    VARCHAR(200),
    CLIENT_LIB_VERSION  VARCHAR(50),
    REQUEST_DATETIME    TIMESTAMP,
    ORDERLEVELDISCOUNT  VARCHAR(30),
    TAX_TOTAL           VARCHAR(30),
    SHIPPING_TOTAL      VARCHAR(30),
    FREIGHTTAX          VARCHAR(30),
    CUSTOMER_CC_TYPE    VARCHAR(10),
    -- the card number sealed with the database's card key (config/card.key);
    -- CUSTOMER_CC_NUMBER holds only its last four digits. Erased once no
    -- payment of the order can need it.
    CUSTOMER_CC_SEALED  TEXT,
    -- insertion order of the three payment logs: breaks ties of REQUEST_DATETIME
    LOGSEQ              BIGINT,
    -- the client's id of the request, known even when no reply came
    CLIENT_REQUEST_ID   VARCHAR(64)
);
CREATE INDEX AUTHORIZATIONLOG_ORDER ON AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, AUTH_RCODE, REQUEST_DATETIME);
CREATE INDEX AUTHORIZATIONLOG_SEQUENCE ON AUTHORIZATIONLOG (LOGSEQ);
CREATE INDEX AUTHORIZATIONLOG_REQUEST ON AUTHORIZATIONLOG (AUTH_REQUEST_ID);

CREATE TABLE BILLINGLOG (
    ICS_RMSG               VARCHAR(255),
    BILL_BILL_AMOUNT       VARCHAR(30),
    ICS_RFLAG              VARCHAR(50),
    BILL_RFLAG             VARCHAR(50),
    BILL_RMSG              VARCHAR(255),
    ICS_RCODE              VARCHAR(10),
    BILL_RCODE             VARCHAR(10),
    BILL_BILL_REQUEST_TIME VARCHAR(30),
    BILL_REQUEST_ID        VARCHAR(50),
    MERCHANT_REF_NUMBER    VARCHAR(32),
    CURRENCY               VARCHAR(3),
    OFFERS                 TEXT,
    AUTH_REQUEST_ID        VARCHAR(50),
    ICS_APPLICATIONS       VARCHAR(200),
    CLIENT_LIB_VERSION     VARCHAR(50),
    REQUEST_DATETIME       TIMESTAMP,
    LOGSEQ                 BIGINT,
    CLIENT_REQUEST_ID      VARCHAR(64)
);
CREATE INDEX BILLINGLOG_REQUEST ON BILLINGLOG (BILL_REQUEST_ID);
CREATE INDEX BILLINGLOG_ORDER ON BILLINGLOG (MERCHANT_REF_NUMBER, LOGSEQ);

CREATE TABLE REFUNDLOG (
    ICS_RMSG                   VARCHAR(255),
    Credit_Credit_AMOUNT       VARCHAR(30),
    ICS_RFLAG                  VARCHAR(50),
    Credit_RFLAG               VARCHAR(50),
    Credit_RMSG                VARCHAR(255),
    ICS_RCODE                  VARCHAR(10),
    Credit_RCODE               VARCHAR(10),
    Credit_Credit_REQUEST_TIME VARCHAR(30),
    BILL_REQUEST_ID            VARCHAR(50),
    MERCHANT_REF_NUMBER        VARCHAR(32),
    CURRENCY                   VARCHAR(3),
    OFFERS                     TEXT,
    REQUEST_ID                 VARCHAR(50),
    ICS_APPLICATIONS           VARCHAR(200),
    CLIENT_LIB_VERSION         VARCHAR(50),
    ICS_VERSION                VARCHAR(50),
    REQUEST_DATETIME           TIMESTAMP,
    LOGSEQ                     BIGINT,
    CLIENT_REQUEST_ID          VARCHAR(64)
);
CREATE INDEX REFUNDLOG_CAPTURE ON REFUNDLOG (BILL_REQUEST_ID);
CREATE INDEX REFUNDLOG_ORDER ON REFUNDLOG (MERCHANT_REF_NUMBER);

-- The insertion sequence of the payment logs (LOGSEQ): one counter row, taken
-- with UPDATE ... RETURNING inside the transaction that writes the log row.
CREATE TABLE PAYMENTLOGSEQUENCE (
    NAME      VARCHAR(30) NOT NULL PRIMARY KEY,
    LASTVALUE BIGINT NOT NULL
);
INSERT INTO PAYMENTLOGSEQUENCE (NAME, LASTVALUE) VALUES ('PAYMENTLOG', 0);
INSERT INTO PAYMENTLOGSEQUENCE (NAME, LASTVALUE) VALUES ('GATEWAYREQUEST', 0);

-- Every request to the card gateway, committed before it is sent and completed
-- in the transaction that stores its reply. A row still in STATE 'SENT' is a
-- request whose outcome is unknown (a crash, a lost reply): nothing more is
-- sent for its MERCHANT_REF_NUMBER (order or basket) until `backoffice pay
-- resolve` settles it. STATE: SENT, ANSWERED, NOTSENT (it never reached the
-- gateway), RESOLVED. OPERATION: CHECKOUT_AUTH, AUTH, RENEWAL, AUTH_CAPTURE,
-- CAPTURE, CREDIT. PRIOR_REQUEST_ID: the authorisation a capture goes
-- against, the capture a credit goes against. Never a card number.
CREATE TABLE GATEWAYREQUEST (
    REQUESTSEQ          BIGINT NOT NULL PRIMARY KEY,
    MERCHANT_REF_NUMBER VARCHAR(32) NOT NULL,
    OPERATION           VARCHAR(20) NOT NULL,
    LINENRS             TEXT,
    AMOUNT              VARCHAR(30),
    CURRENCY            VARCHAR(3),
    PRIOR_REQUEST_ID    VARCHAR(50),
    CLIENT_REQUEST_ID   VARCHAR(64) NOT NULL UNIQUE,
    SENT_DATETIME       TIMESTAMP NOT NULL,
    STATE               VARCHAR(10) NOT NULL,
    COMPLETED_DATETIME  TIMESTAMP,
    REQUEST_ID          VARCHAR(50),
    ICS_RCODE           VARCHAR(10)
);
CREATE INDEX GATEWAYREQUEST_OPEN ON GATEWAYREQUEST (MERCHANT_REF_NUMBER) WHERE STATE = 'SENT';

-- Master data of the platform stand-ins ---------------------------------------------

CREATE TABLE CURRENCY (
    CURRENCYCODE VARCHAR(3) NOT NULL PRIMARY KEY,
    DESCRIPTION  VARCHAR(100),
    DECIMALS     SMALLINT NOT NULL DEFAULT 2,
    EURO         BOOLEAN NOT NULL DEFAULT FALSE,
    LOCALEID     INTEGER,
    HOMECURRENCY BOOLEAN NOT NULL DEFAULT FALSE
);

-- Conversion rates: units of a currency per unit of the home currency, from
-- EFFECTIVEDATE on until the next rate of that currency.
CREATE TABLE CURRENCYRATE (
    CURRENCYCODE  VARCHAR(3) NOT NULL,
    EFFECTIVEDATE TIMESTAMP NOT NULL,
    RATE          NUMERIC(18,8) NOT NULL,
    PRIMARY KEY (CURRENCYCODE, EFFECTIVEDATE)
);

CREATE TABLE BUSINESSPARTNER (
    BUSINESSPARTNERID INTEGER NOT NULL PRIMARY KEY,
    NAME              VARCHAR(100),
    CUSTOMERCODE      VARCHAR(50),
    CURRENCYCODE      VARCHAR(3),
    CARRIERCODE       VARCHAR(20),
    POSTALADDRESSID   INTEGER,
    SHIPPINGADDRESSID INTEGER,
    ORDERREQUESTURL   VARCHAR(500),
    BISID             INTEGER
);

CREATE TABLE ADDRESS (
    ADDRESSID         INTEGER NOT NULL PRIMARY KEY,
    BUSINESSPARTNERID INTEGER,
    SHORTDESCRIPTION  VARCHAR(100),
    NAME1             VARCHAR(100),
    NAME2             VARCHAR(100),
    STREET1           VARCHAR(100),
    STREET2           VARCHAR(100),
    CITY1             VARCHAR(100),
    CITY2             VARCHAR(100),
    STATEPROVINCE     VARCHAR(50),
    ZIPCODE           VARCHAR(20),
    COUNTRYCODE       VARCHAR(3),
    PHONE             VARCHAR(50),
    FAX               VARCHAR(50),
    COUNTRYNAME       VARCHAR(100),
    BISADDRESSCODE    VARCHAR(20)
);
CREATE INDEX ADDRESS_PARTNER ON ADDRESS (BUSINESSPARTNERID, NAME1);

-- The last id handed out per kind of master data ('ADDRESS': ADDRESSID). Ids
-- only grow, so a row removed again never lends its id to another; a kind
-- without its row starts above the highest id of its table.
CREATE TABLE IDSEQUENCE (
    NAME      VARCHAR(30) NOT NULL PRIMARY KEY,
    LASTVALUE BIGINT NOT NULL
);
INSERT INTO IDSEQUENCE (NAME, LASTVALUE) VALUES ('ADDRESS', 0);

CREATE TABLE PRODUCT (
    PRODUCTID          INTEGER NOT NULL PRIMARY KEY,
    NUMBER             VARCHAR(50),
    PARTNUMBER         VARCHAR(50) UNIQUE,
    PRODUCTDESCRIPTION VARCHAR(200),
    UNITCODE           VARCHAR(10),
    COMMODITYCODE      VARCHAR(20),
    CONTRACTCODE       VARCHAR(20),
    CONFIGURABLE       BOOLEAN NOT NULL DEFAULT FALSE
);

-- Product configurations: the configurator's text for a configured line, and
-- the copies that baskets make.
CREATE TABLE PRODUCTCONFIGURATION (
    CONFIGID       VARCHAR(50) NOT NULL PRIMARY KEY,
    PRODUCTID      INTEGER,
    LANGUAGE       VARCHAR(10),
    COUNTRYCODE    VARCHAR(3),
    VARIANTOPTIONS TEXT
);

-- Web shop users for the membership directory; passwords are kept as salted hashes.
CREATE TABLE WEBUSER (
    USERID            VARCHAR(50) NOT NULL PRIMARY KEY,
    COMMONNAME        VARCHAR(100),
    BUSINESSPARTNERID INTEGER,
    PASSWORDSALT      VARCHAR(64),
    PASSWORDHASH      VARCHAR(128)
);

-- Back-end integration instances (BIS) and their properties.
CREATE TABLE BISINSTANCE (
    BISID       INTEGER NOT NULL PRIMARY KEY,
    BACKENDTYPE VARCHAR(50) NOT NULL,
    DESCRIPTION VARCHAR(100)
);

CREATE TABLE BISPROPERTY (
    BISID INTEGER NOT NULL,
    NAME  VARCHAR(50) NOT NULL,
    VALUE VARCHAR(200),
    PRIMARY KEY (BISID, NAME)
);
