#include "ordexa/payment/order_payment_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/automation/error.h"
#include "platform/config/configuration.h"

namespace ordexa {
namespace {

// "PAY" in ASCII: the class of the advisory locks of payments.
constexpr int32_t kAdvisoryClass = 0x504159;

// One session per thread holds the thread's payment locks, so a run of many
// orders opens one connection, not one per order. A session's advisory locks
// are its own: threads never share one.
thread_local ado::ConnectionPtr tLockSession;

ado::ConnectionPtr LockSession(const std::string& connectionString) {
    if (tLockSession && tLockSession->State() == ado::adStateOpen && tLockSession->ConnectionString == connectionString)
        return tLockSession;
    tLockSession = ado::OpenConnection(connectionString, ado::Pooling::Unpooled);
    return tLockSession;
}

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

[[noreturn]] void Fail(const std::string& what) {
    ole::Raise(ole::err::PermissionDenied, what + ": " + std::strerror(errno), "Ordexa.OrderPaymentLock");
}

}  // namespace

OrderPaymentLock::~OrderPaymentLock() {
    if (connection_) {
        try {
            connection_->Execute("SELECT pg_advisory_unlock(?, hashtext(?))", nullptr, -1,
                                 {ole::Variant(kAdvisoryClass), ole::Variant(orderId_)});
        } catch (...) {
            // a session that cannot unlock is ended: that releases the lock
            try {
                connection_->Close();
            } catch (...) {
            }
            tLockSession.reset();
        }
    }
    // closing the descriptor releases its open-file-description lock
}

std::unique_ptr<OrderPaymentLock> OrderPaymentLock::TryAcquire(const std::string& connectionString,
                                                               const std::string& orderId) {
    std::unique_ptr<OrderPaymentLock> lock(new OrderPaymentLock());
    lock->orderId_ = orderId;
    if (ado::DialectOf(connectionString) == ado::Dialect::PostgreSQL) {
        auto session = LockSession(connectionString);
        auto rs = session->Execute("SELECT pg_try_advisory_lock(?, hashtext(?)) AS TAKEN", nullptr, -1,
                                   {ole::Variant(kAdvisoryClass), ole::Variant(orderId)});
        if (!rs->Fields("TAKEN").Value().ToBool()) return nullptr;
        lock->connection_ = session;
        return lock;
    }
    auto installations = qx::InstallationsFromEnvironment();
    if (installations.empty()) ole::Raise(ole::err::PathNotFound, "No installation is set (VENDALO_HOME)");
    std::filesystem::path folder = std::filesystem::path(installations.front().Folder) / "Vendalo";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::string path = (folder / "payment.lock").string();
    lock->fd_.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock->fd_) Fail("cannot open " + path);
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(Fnv1a(orderId) & 0xFFFFFFFFFFull);
    range.l_len = 1;
    if (::fcntl(lock->fd_.Get(), F_OFD_SETLK, &range) != 0) {
        if (errno == EAGAIN || errno == EACCES) return nullptr;
        Fail("cannot lock " + path);
    }
    return lock;
}

}  // namespace ordexa
