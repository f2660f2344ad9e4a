#include "platform/data/keyed_lock.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/automation/error.h"
#include "platform/data/driver.h"
#include "platform/os/unique_fd.h"

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

// A lock file stays open for the life of the process: one descriptor, so taking a
// lock costs one fcntl, not an open and a close. The threads of the process share
// its open file description, whose locks do not exclude each other, so the bytes
// the process holds are also kept here, under a mutex.
class KeyedLock::LockFile {
public:
    static std::shared_ptr<LockFile> Of(const std::string& path) {
        static std::mutex mutex;
        static std::unordered_map<std::string, std::shared_ptr<LockFile>> files;
        std::lock_guard lock(mutex);
        auto& file = files[path];
        if (!file) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
            os::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
            if (!fd) Fail("cannot open " + path);
            file = std::make_shared<LockFile>(path, std::move(fd));
        }
        return file;
    }

    LockFile(std::string path, os::UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    // False when a thread of this process or another process holds the byte.
    bool Take(off_t byte) {
        std::lock_guard lock(mutex_);
        if (held_.count(byte)) return false;
        if (!Set(byte, F_WRLCK)) {
            if (errno == EAGAIN || errno == EACCES) return false;
            Fail("cannot lock " + path_);
        }
        held_.insert(byte);
        return true;
    }

    void Give(off_t byte) {
        std::lock_guard lock(mutex_);
        Set(byte, F_UNLCK);  // fails only for a bad descriptor; the process's threads may take the byte again
        held_.erase(byte);
    }

private:
    bool Set(off_t byte, short type) {
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = byte;
        range.l_len = 1;
        return ::fcntl(fd_.Get(), F_OFD_SETLK, &range) == 0;
    }

    std::string path_;
    os::UniqueFd fd_;
    std::mutex mutex_;
    std::unordered_set<off_t> held_;
};

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
    if (file_) file_->Give(byte_);
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
    auto file = LockFile::Of(lockFile);
    auto byte = static_cast<off_t>(Fnv1a(key) & 0xFFFFFFFFFFull);
    if (!file->Take(byte)) return nullptr;
    lock->file_ = std::move(file);  // from here on the destructor gives the byte back
    lock->byte_ = byte;
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

void KeyedLock::Commit() {
    if (!inTransaction_) ole::Raise(ole::err::InvalidProcedureCall, "The lock holds no transaction", "ADODB.KeyedLock");
    if (connection_->InTransaction()) connection_->CommitTrans();
    // over: the destructor leaves the session (and a transaction begun there since) alone
    connection_.reset();
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
