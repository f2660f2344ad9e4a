// The rules of price maintenance, shared by Vendalo.Pricing (one record per
// call) and the price-list import (many records on one connection in one
// transaction). Everything here raises; nothing reports: the public caller
// reports under its own label.
//
// The caller owns the connection and the transaction: the overlap check and the
// write must run in one transaction, after LockKey, so that two writers cannot
// store overlapping ranges of one key.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "interfaces/vendalo/pricing.h"
#include "platform/data/ado.h"

namespace vendalo::price_maintenance {

// The first validation rule the record breaks, raised with its VendaloError
// number; nothing when it passes.
void Validate(const PriceRecord& record, bool customerPricing);
// The key checks of a deletion (product, effective date, currency, partner).
void ValidateKey(const PriceRecord& record, bool customerPricing);

// Serialises writers of one key (partner, product, currency) until the
// transaction ends: SQLite's BEGIN IMMEDIATE does it for the whole database; on
// PostgreSQL transaction-scoped advisory locks.
void LockKey(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);
// The same for every key of the table at once (an import of many records).
void LockTable(bool customerPricing, const ado::ConnectionPtr& connection);

// The referential checker's answer for the record's product, partner (customer
// pricing) and currency; RefuseReferences raises ReferentialInsert naming them.
bool ReferencesAllowed(const PriceRecord& record, bool customerPricing);
[[noreturn]] void RefuseReferences(const PriceRecord& record, bool customerPricing);

// AddPricing's checks and insert on the connection: overlap (EffectiveDateRange),
// referential check (ReferentialInsert), insert. The record must be valid.
void Add(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);
// UpdatePricing's overlap check (a later record within the new range) and update;
// returns the rows changed (0 for a key without record).
int32_t Update(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);
// Deletes the record of the key; returns the rows deleted.
int32_t Delete(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);
// True when a record with exactly this key is stored.
bool KeyExists(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);

// The validity of a stored record: from its effective date up to, not
// including, its expiry date (none for an open end).
struct StoredRange {
    ole::Date effective;
    std::optional<ole::Date> expiry;
};
// The ranges stored for the record's key (partner, product, currency), in no order.
std::vector<StoredRange> StoredRanges(const PriceRecord& record, bool customerPricing,
                                      const ado::ConnectionPtr& connection);

// The insert and the update of whole records for a run of many on one
// connection: each command is made once and takes each record's values. The
// record must be valid; a value that does not fit its column raises.
class RecordWriter {
public:
    RecordWriter(bool customerPricing, const ado::ConnectionPtr& connection);
    void Insert(const PriceRecord& record);
    // Changes expiry, price and discounts of the record with exactly this key.
    void Update(const PriceRecord& record);

private:
    bool customer_;
    ado::CommandPtr insert_, update_;
    std::vector<ole::Variant> values_;
};

}  // namespace vendalo::price_maintenance
