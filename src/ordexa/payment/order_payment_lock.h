// The payment lock of one order: while a process holds it, no other process or
// thread sends a payment request for that order, on this host or on any host
// of the same database. On PostgreSQL it is a session advisory lock (key: a
// fixed class and the hash of the order id) on a connection of the thread's
// own; on SQLite, whose database lives on one host, an open-file-description
// lock on one byte of <home>/Vendalo/payment.lock chosen by the order id. Both
// are released when the holder ends, a crash or a kill included. Two orders
// whose hashes meet merely wait for each other.
#pragma once

#include <memory>
#include <string>

#include "platform/data/ado.h"
#include "platform/os/unique_fd.h"

namespace ordexa {

class OrderPaymentLock {
public:
    ~OrderPaymentLock();
    OrderPaymentLock(const OrderPaymentLock&) = delete;
    OrderPaymentLock& operator=(const OrderPaymentLock&) = delete;

    // The lock, or nullptr at once when another holder has it.
    static std::unique_ptr<OrderPaymentLock> TryAcquire(const std::string& connectionString, const std::string& orderId);

private:
    OrderPaymentLock() = default;
    os::UniqueFd fd_;
    ado::ConnectionPtr connection_;
    std::string orderId_;
};

}  // namespace ordexa
