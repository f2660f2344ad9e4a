#include "ordexa/exchange/export_file_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "ordexa/exchange/export_file_lock.h"
#include "platform/automation/error.h"
#include "platform/os/durable_file.h"

namespace ordexa {
namespace {

// The back end renames the file away at most once per cycle; a path that keeps
// changing under the writer is not a file it can append to.
constexpr int kMaxReopen = 100;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The journal's last line: "end " and the FNV-1a hash of what precedes it, in hex.
std::string Seal(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char line[32];
    std::snprintf(line, sizeof line, "end %016llx\n", static_cast<unsigned long long>(hash));
    return line;
}

// A journal as it was begun: "" when it is sealed and its seal does not match
// (a write cut short). A journal without seal was written whole by an earlier
// version (a new file renamed into place).
std::string Unsealed(const std::string& text) {
    size_t last = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
    size_t start = last == std::string::npos ? 0 : last + 1;
    if (text.compare(start, 4, "end ") != 0) return text;
    std::string body = text.substr(0, start);
    return Seal(body) == text.substr(start) ? body : "";
}

}  // namespace

ExportFileWriter::ExportFileWriter(std::string path, std::string journal, GroupKept kept, mode_t mode)
    : path_(std::move(path)), journal_(std::move(journal)), kept_(std::move(kept)), mode_(mode) {
    Open();
}

ExportFileWriter::~ExportFileWriter() { Close(); }

void ExportFileWriter::Open() {
    written_ = false;
    for (int attempt = 0;; ++attempt) {
        fd_.Reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, mode_));
        if (fd_) {
            created_ = true;
            // the umask may have narrowed the mode the back end needs
            if (::fchmod(fd_.Get(), mode_) != 0) {
                int error = errno;
                ::unlink(path_.c_str());
                RaiseExportFileError(path_, error, "cannot be given its permissions");
            }
            return;
        }
        if (errno != EEXIST) RaiseExportFileError(path_, errno, "cannot be opened");
        fd_.Reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (fd_) {
            created_ = false;
            return;
        }
        // taken away between the two opens: create it again
        if (errno != ENOENT || attempt == kMaxReopen) RaiseExportFileError(path_, errno, "cannot be opened");
    }
}

void ExportFileWriter::LockCurrentFile(off_t& size) {
    for (int attempt = 0;; ++attempt) {
        struct stat held {};
        int error = LockIfCurrent(fd_.Get(), path_, held);
        if (error == 0) {
            size = held.st_size;
            Recover(held, size);
            return;
        }
        if (error != ESTALE) RaiseExportFileError(path_, error, "cannot be locked");
        // The back end took the file meanwhile: what is written now belongs in a new one.
        fd_.Reset();
        if (attempt == kMaxReopen) RaiseExportFileError(path_, EAGAIN, "keeps being replaced");
        Open();
    }
}

void ExportFileWriter::Append(const std::string& bytes, const std::vector<std::string>& orderIds) {
    if (pending_) Keep();
    if (!fd_) Open();
    LockCurrentFile(before_);
    struct stat held {};
    if (!journal_.empty() && ::fstat(fd_.Get(), &held) == 0) WriteJournal(held, before_, orderIds);
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd_.Get()) != 0) error = errno;
    if (error != 0) {
        // no half message stays behind: the next run writes these orders again
        bool cut = ::ftruncate(fd_.Get(), before_) == 0 && ::fsync(fd_.Get()) == 0;
        if (cut) RemoveJournal();
        UnlockFile(fd_.Get());
        RaiseExportFileError(path_, error, cut ? "cannot be written" : "cannot be written, nor cut back to its size before the write");
    }
    // the directory entry of a new file survives a crash only when the folder is flushed too
    if (created_ && !written_) os::SyncParentFolder(path_);
    pending_ = true;
}

void ExportFileWriter::Keep() {
    if (!pending_) return;
    pending_ = false;
    written_ = true;
    RemoveJournal();
    UnlockFile(fd_.Get());
}

void ExportFileWriter::Withdraw() {
    if (!pending_) return;
    pending_ = false;
    int error = ::ftruncate(fd_.Get(), before_) == 0 && ::fsync(fd_.Get()) == 0 ? 0 : errno;
    if (error == 0) RemoveJournal();
    UnlockFile(fd_.Get());
    if (error != 0) RaiseExportFileError(path_, error, "cannot be cut back to its size before the last write");
}

void ExportFileWriter::Close() {
    if (fd_) {
        if (pending_) {
            try {
                Withdraw();
            } catch (...) {
                // closing never fails; the caller withdraws explicitly where it must know
            }
        }
        if (created_ && !written_ && ::flock(fd_.Get(), LOCK_EX) == 0) {
            struct stat held {
            }, named{};
            if (::fstat(fd_.Get(), &held) == 0 && held.st_size == 0 && ::stat(path_.c_str(), &named) == 0 &&
                SameFile(held, named))
                ::unlink(path_.c_str());
            UnlockFile(fd_.Get());
        }
        fd_.Reset();
    }
    // a journal that still names a group (one that could not be withdrawn) stays for the next writer
    if (journalFd_) {
        journalFd_.Reset();
        if (!journalHolds_) ::unlink(journal_.c_str());
    }
}

// The journal is one file per writer, rewritten in place for each group and on
// disk before the group is written: one flush per group. It ends with a seal, so
// that a journal whose write a crash cut short reads as no group begun (the
// group was not written either). A kept group empties it; the writer removes it
// when it closes.
void ExportFileWriter::WriteJournal(const struct stat& held, off_t size, const std::vector<std::string>& orderIds) {
    std::string text = std::to_string(held.st_dev) + " " + std::to_string(held.st_ino) + " " + std::to_string(size) + "\n";
    for (const auto& id : orderIds) text += id + "\n";
    text += Seal(text);
    int error = 0;
    bool created = false;
    if (!journalFd_) {
        journalFd_.Reset(::open(journal_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        created = static_cast<bool>(journalFd_);
        if (!journalFd_ && errno == EEXIST) journalFd_.Reset(::open(journal_.c_str(), O_WRONLY | O_CLOEXEC));
        if (!journalFd_) error = errno;
    }
    for (size_t done = 0; error == 0 && done < text.size();) {
        ssize_t n = ::pwrite(journalFd_.Get(), text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : EIO;
        else done += static_cast<size_t>(n);
    }
    if (error == 0 && ::ftruncate(journalFd_.Get(), static_cast<off_t>(text.size())) != 0) error = errno;
    if (error == 0 && ::fdatasync(journalFd_.Get()) != 0) error = errno;
    if (error != 0) {
        UnlockFile(fd_.Get());
        RaiseExportFileError(path_, error, "cannot be written: its journal " + journal_ + " cannot be written");
    }
    if (created) os::SyncParentFolder(journal_);  // a new journal's name survives a crash too
    journalHolds_ = true;
}

void ExportFileWriter::RemoveJournal() {
    if (journal_.empty()) return;
    // emptied, not flushed: a kept group's journal that a crash brings back asks
    // about orders that were marked, and leaves the group where it is
    if (journalFd_) {
        if (::ftruncate(journalFd_.Get(), 0) == 0) journalHolds_ = false;
    } else {
        ::unlink(journal_.c_str());
    }
}

void ExportFileWriter::Recover(const struct stat& held, off_t& size) {
    if (journal_.empty()) return;
    std::string text;
    try {
        text = Unsealed(os::ReadRegularFile(journal_));
    } catch (const std::system_error&) {
        return;  // no journal: no group was begun
    }
    unsigned long long device = 0, inode = 0;
    long long start = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%llu %llu %lld\n%n", &device, &inode, &start, &consumed) == 3 &&
        device == static_cast<unsigned long long>(held.st_dev) && inode == static_cast<unsigned long long>(held.st_ino) &&
        start >= 0 && start < size) {
        std::vector<std::string> orderIds;
        for (size_t at = static_cast<size_t>(consumed); at < text.size();) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) break;
            if (end > at) orderIds.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        // A group whose orders were marked was whole on disk (the write ends before the marking).
        if (!kept_ || !kept_(orderIds)) {
            if (::ftruncate(fd_.Get(), start) != 0 || ::fsync(fd_.Get()) != 0) {
                int error = errno;
                UnlockFile(fd_.Get());
                RaiseExportFileError(path_, error, "holds part of a group a stopped export left behind, and cannot be cut back");
            }
            size = start;
        }
    }
    RemoveJournal();
}

}  // namespace ordexa
