// Concurrent edits of a basket: its ETag, and the lock that makes the check of
// If-Match and the write one step.
//
// A basket's ETag is the SHA-256 of the basket as GET answers it, read from
// the database (so a write's answer carries the ETag a GET would show next).
// Every request of the host that changes a basket holds the basket's lock
// (ado::KeyedLock: on PostgreSQL an advisory lock, shared by every host of the
// database; on SQLite a lock on a byte of <home>/Vendalo/basket.lock) from the
// check of If-Match until its write is done, also when it sends no If-Match:
// of two writers with the same ETag, one writes and the other gets 412.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/data/keyed_lock.h"

namespace backoffice::http {

enum class BasketRoute {
    None,
    Read,    // answers a stored basket: its ETag
    Create,  // makes a basket (the one Location names): its ETag
    Change,  // changes the basket of its path: the lock, If-Match, then the new ETag
    End,     // deletes or submits the basket of its path: the lock and If-Match; no basket is left
};

// What a route ("PUT /api/v1/baskets/{id}") does to baskets.
BasketRoute BasketRouteOf(const std::string& routeName);

// A basket's lock as a request holds it. On PostgreSQL it is taken by a transaction of its
// own that reads the basket with it, in one round trip (`read`; `basket` is nullptr when
// there is no such basket), and ends when the lock goes.
struct BasketLock {
    std::unique_ptr<ado::KeyedLock> lock;
    bool read = false;
    ole::DictionaryPtr basket;
};

// The basket's lock, waiting a few seconds at most; RequestError 503 when it stays taken.
BasketLock LockBasket(const std::string& connectionString, const std::filesystem::path& home,
                      const std::string& basketId);

// The stored basket's ETag ("\"<64 hexadecimal digits>\""), or "" when there is no such basket.
// With `read`, the basket as read is handed back too (each recordset at its first row, as a
// fresh Restore leaves it), for a caller that needs it next.
// Read in `transaction` where one is given (one the request wrote in), else on a connection of its own.
std::string BasketETag(const std::string& basketId, ole::DictionaryPtr* read = nullptr,
                       const ado::ConnectionPtr& transaction = nullptr);
// The same of a basket read already ("" for nullptr); leaves each recordset at its first row.
std::string BasketETagOf(const ole::DictionaryPtr& basket);
// The ETag of a basket from the text GET answers for it (a read need not read it again).
std::string BasketETagOfAnswer(const std::string& answerBody);
// Whether a basket just written holds what a read of it gives back, value for value, so that
// its text is the text a GET answers: every value Null or of its column's own type, with no
// time on a day column and no more decimals than an amount column keeps; a column an insert
// left out (Empty) only where the database has no default for it. Otherwise only a read tells.
// Leaves each recordset at its first row.
bool BasketReadsBackAsIs(const ole::Dictionary& basket);

// Whether an If-Match value ("*", or ETags separated by commas) names the ETag; weak ones never match.
bool IfMatchHolds(const std::string& ifMatch, const std::string& etag);

}  // namespace backoffice::http
