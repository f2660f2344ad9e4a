#include "platform/data/keyed_lock.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/automation/error.h"
#include "platform/data/driver.h"

namespace ado {
namespace {

// One session per thread holds the thread's advisory locks, so a run of many
// keys opens one connection, not one per key. A session's advisory locks are
// its own: threads never share one.
thread_local ConnectionPtr tLockSession;
thread_local std::chrono::milliseconds tLockTimeout{0};  // the session's lock_timeout; 0: none

ConnectionPtr LockSession(const std::string& connectionString) {
    if (tLockSession && tLockSession->State() == adStateOpen && tLockSession->ConnectionString == connectionString)
        return tLockSession;
    tLockSession = OpenConnection(connectionString, Pooling::Unpooled);
    tLockTimeout = std::chrono::milliseconds(0);
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
    ole::Raise(ole::err::PermissionDenied, what + ": " + std::strerror(errno), "ADODB.KeyedLock");
}

}  // namespace

KeyedLock::~KeyedLock() {
    if (connection_) {
        try {
            if (inTransaction_) {
                connection_->Driver().EndUnawaited();
                return;
            }
            const char* unlock = "SELECT pg_advisory_unlock(?, hashtext(?))";
            std::vector<ole::Variant> params = {ole::Variant(class_), ole::Variant(key_)};
            // not awaited: the session's next statement reads the answer; a session that
            // fails to release is ended below, which releases the lock too
            if (awaitRelease_)
                connection_->Execute(unlock, nullptr, -1, params);
            else
                connection_->Driver().Send(unlock, params);
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

std::unique_ptr<KeyedLock> KeyedLock::TryAcquire(const std::string& connectionString, int32_t lockClass,
                                                 const std::string& lockFile, const std::string& key) {
    std::unique_ptr<KeyedLock> lock(new KeyedLock());
    lock->class_ = lockClass;
    lock->key_ = key;
    if (DialectOf(connectionString) == Dialect::PostgreSQL) {
        auto session = LockSession(connectionString);
        auto rs = session->Execute("SELECT pg_try_advisory_lock(?, hashtext(?)) AS TAKEN", nullptr, -1,
                                   {ole::Variant(lockClass), ole::Variant(key)});
        if (!rs->Fields("TAKEN").Value().ToBool()) return nullptr;
        lock->connection_ = session;
        return lock;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(lockFile).parent_path(), ec);
    lock->fd_.Reset(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock->fd_) Fail("cannot open " + lockFile);
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(Fnv1a(key) & 0xFFFFFFFFFFull);
    range.l_len = 1;
    if (::fcntl(lock->fd_.Get(), F_OFD_SETLK, &range) != 0) {
        if (errno == EAGAIN || errno == EACCES) return nullptr;
        Fail("cannot lock " + lockFile);
    }
    return lock;
}

std::unique_ptr<KeyedLock> KeyedLock::BeginLocked(const std::string& connectionString, int32_t lockClass,
                                                  const std::string& key, std::chrono::milliseconds patience) {
    std::unique_ptr<KeyedLock> lock(new KeyedLock());
    lock->class_ = lockClass;
    lock->key_ = key;
    lock->connection_ = LockSession(connectionString);
    // the wait is the server's (woken at the release), bounded by the session's lock_timeout: set
    // once for the session, outside a transaction, as the session's other locks never wait
    if (tLockTimeout != patience) {
        lock->connection_->Execute("SELECT set_config('lock_timeout', ?, false)", nullptr, -1,
                                   {ole::Variant(std::to_string(patience.count()))});
        tLockTimeout = patience;
    }
    lock->inTransaction_ = true;
    lock->connection_->Driver().BeginWith(
        {"SELECT pg_advisory_xact_lock(?, hashtext(?))", {ole::Variant(lockClass), ole::Variant(key)}});
    return lock;
}

std::unique_ptr<KeyedLock> KeyedLock::Acquire(const std::string& connectionString, int32_t lockClass,
                                              const std::string& lockFile, const std::string& key,
                                              std::chrono::milliseconds patience) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (auto lock = TryAcquire(connectionString, lockClass, lockFile, key)) {
            lock->awaitRelease_ = false;
            return lock;
        }
        if (std::chrono::steady_clock::now() >= deadline) return nullptr;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace ado
