// A scoped transaction on a connection: it begins in the constructor, and
// unless Commit() was called the destructor rolls it back (a rollback error is
// swallowed: the connection is then unusable anyway, and Close rolls back too).
// The rollback keeps the connection's Errors, so the handler that catches the
// failure can still report them.
//
//   ado::Transaction tx(*connection);
//   connection->Execute(...);
//   tx.Commit();
#pragma once

#include <vector>

#include "platform/data/ado.h"

namespace ado {

class Transaction {
public:
    explicit Transaction(Connection& connection) : connection_(connection) { connection_.BeginTrans(); }
    ~Transaction() {
        if (done_) return;
        std::vector<Error> errors = connection_.errors_;
        try {
            if (connection_.InTransaction()) connection_.RollbackTrans();
        } catch (...) {
        }
        connection_.errors_ = std::move(errors);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit() {
        connection_.CommitTrans();
        done_ = true;
    }

private:
    Connection& connection_;
    bool done_ = false;
};

}  // namespace ado
