// The payment lock of one order: while a process holds it, no other process or
// thread sends a payment request for that order, on this host or on any host
// of the same database (a KeyedLock: on PostgreSQL an advisory lock, on SQLite
// a lock on one byte of <home>/Vendalo/payment.lock). It is released when the
// holder ends, a crash or a kill included.
#pragma once

#include <memory>
#include <string>

#include "platform/data/keyed_lock.h"

namespace ordexa {

class OrderPaymentLock {
public:
    // The lock, or nullptr at once when another holder has it.
    static std::unique_ptr<OrderPaymentLock> TryAcquire(const std::string& connectionString, const std::string& orderId);

private:
    explicit OrderPaymentLock(std::unique_ptr<ado::KeyedLock> lock) : lock_(std::move(lock)) {}
    std::unique_ptr<ado::KeyedLock> lock_;
};

}  // namespace ordexa
