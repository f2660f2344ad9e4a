#include "ordexa/payment/order_payment_lock.h"

#include <filesystem>

#include "platform/automation/error.h"
#include "platform/config/configuration.h"

namespace ordexa {
namespace {

// "PAY" in ASCII: the class of the advisory locks of payments.
constexpr int32_t kAdvisoryClass = 0x504159;

std::string LockFile() {
    auto installations = qx::InstallationsFromEnvironment();
    if (installations.empty()) ole::Raise(ole::err::PathNotFound, "No installation is set (VENDALO_HOME)");
    return (std::filesystem::path(installations.front().Folder) / "Vendalo" / "payment.lock").string();
}

}  // namespace

std::unique_ptr<OrderPaymentLock> OrderPaymentLock::TryAcquire(const std::string& connectionString,
                                                               const std::string& orderId) {
    std::string file = ado::DialectOf(connectionString) == ado::Dialect::PostgreSQL ? "" : LockFile();
    auto lock = ado::KeyedLock::TryAcquire(connectionString, kAdvisoryClass, file, orderId);
    if (!lock) return nullptr;
    return std::unique_ptr<OrderPaymentLock>(new OrderPaymentLock(std::move(lock)));
}

}  // namespace ordexa
