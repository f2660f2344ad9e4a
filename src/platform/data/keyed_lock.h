// A lock on one key (an order's payments, a basket's changes): while a process
// holds it, no other process or thread takes the same key of the same class,
// on this host or on any host of the same database. On PostgreSQL it is a
// session advisory lock (the class and the hash of the key) on a connection of
// the thread's own; on SQLite, whose database lives on one host, an
// open-file-description lock on one byte of the class's lock file chosen by
// the key (the process keeps the file open and keeps its own threads apart
// itself). Both are released when the holder ends, a crash or a kill
// included. Two keys whose hashes meet merely wait for each other.
//
// A lock taken with Acquire is released on PostgreSQL without waiting for the
// server's answer (one round trip a lock, not two): its takers wait for it, so
// one that asks in the moment before the release lands merely waits a pause.
// A lock taken with TryAcquire, whose takers give up at once, is released
// before the destructor returns.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/data/ado.h"

namespace ado {

class KeyedLock {
public:
    ~KeyedLock();
    KeyedLock(const KeyedLock&) = delete;
    KeyedLock& operator=(const KeyedLock&) = delete;

    // The lock, or nullptr at once when another holder has it. `lockFile` is
    // the SQLite database's lock file of this class (made 0600 when missing).
    static std::unique_ptr<KeyedLock> TryAcquire(const std::string& connectionString, int32_t lockClass,
                                                 const std::string& lockFile, const std::string& key);
    // The lock, waiting for it at most `patience`; nullptr when the time is up.
    static std::unique_ptr<KeyedLock> Acquire(const std::string& connectionString, int32_t lockClass,
                                              const std::string& lockFile, const std::string& key,
                                              std::chrono::milliseconds patience);
    // PostgreSQL only: the lock taken by a transaction that begins now on the thread's lock
    // session (Session()). The lock goes to the server with BEGIN and the transaction's first
    // statement, in one round trip, so that statement already runs under it; it is held until
    // the transaction ends, which the destructor does without waiting. A wait longer than
    // `patience` fails that first statement as busy (ole::ErrorKind::DatabaseBusy).
    static std::unique_ptr<KeyedLock> BeginLocked(const std::string& connectionString, int32_t lockClass,
                                                  const std::string& key, std::chrono::milliseconds patience);
    // The connection of a lock taken with BeginLocked, inside its transaction: the holder may
    // write there, so that its writes and the lock end together.
    const ConnectionPtr& Session() const { return connection_; }
    // BeginLocked: commits the transaction (awaited), which releases the lock; one that a batch
    // of the holder's ended already (its last statement a COMMIT) is left as it is. A failure
    // raises, and the destructor then rolls back. Without Commit the transaction is rolled back.
    void Commit();

private:
    class LockFile;
    KeyedLock() = default;
    std::shared_ptr<LockFile> file_;  // SQLite: the class's lock file, and the byte of the key
    off_t byte_ = 0;
    ConnectionPtr connection_;
    int32_t class_ = 0;
    std::string key_;
    bool awaitRelease_ = true;
    bool inTransaction_ = false;  // BeginLocked: the transaction's end releases it
};

}  // namespace ado
