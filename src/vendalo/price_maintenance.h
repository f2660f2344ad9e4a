// The rules of price maintenance, shared by Vendalo.Pricing (one record per
// call) and the price-list import (many records on one connection in one
// transaction). Everything here raises; nothing reports: the public caller
// reports under its own label.
//
// The caller owns the connection and the transaction: the overlap check and the
// write must run in one transaction, after LockKey, so that two writers cannot
// store overlapping ranges of one key.
#pragma once

#include <map>
#include <string>
#include <tuple>

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

// Answers of the referential checker, kept for a run of many records.
using ReferenceCache = std::map<std::tuple<bool, std::string, std::string, std::string>, bool>;

// AddPricing's checks and insert on the connection: overlap (EffectiveDateRange),
// referential check (ReferentialInsert), insert. The record must be valid.
void Add(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection,
         ReferenceCache* cache = nullptr);
// UpdatePricing's overlap check (a later record within the new range) and update;
// returns the rows changed (0 for a key without record).
int32_t Update(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);
// Deletes the record of the key; returns the rows deleted.
int32_t Delete(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);
// What an import does with a valid record: Update when a record with exactly
// this key is stored, else Add, with the same refusals; the stored records of
// the key that both overlap checks look at are read in one statement. True
// when it added.
bool AddOrUpdate(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection,
                 ReferenceCache* cache);
// True when a record with exactly this key is stored.
bool KeyExists(const PriceRecord& record, bool customerPricing, const ado::ConnectionPtr& connection);

}  // namespace vendalo::price_maintenance
