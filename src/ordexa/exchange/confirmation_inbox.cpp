#include "ordexa/exchange/confirmation_inbox.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/automation/error.h"
#include "platform/os/durable_file.h"
#include "platform/os/unique_fd.h"

namespace ordexa {
namespace fs = std::filesystem;

namespace {

const std::string kWork = ".work-";
// A path that keeps changing under the batch is no file it can take.
constexpr int kMaxReopen = 100;

[[noreturn]] void Fail(int error, const std::string& what) {
    ole::Raise(ole::FileErrorNumber(error), what + ": " + std::strerror(error), "Ordexa.WebOrderConfirmation");
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Renames without replacing a file that is there (the names carry the time; two alike would be a clock gone back).
bool RenameNew(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL) return false;
    // a file system without RENAME_NOREPLACE
    if (fs::exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

ConfirmationInbox::ConfirmationInbox(std::string path) : path_(std::move(path)) {
    fs::path p(path_);
    folder_ = p.parent_path().string();
    if (folder_.empty()) folder_ = ".";
    name_ = p.filename().string();
}

std::string ConfirmationInbox::NewWorkName() const {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long nanoseconds = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() % 1000000000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d.%09ldZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec, nanoseconds);
    return folder_ + "/" + name_ + kWork + stamp;
}

std::string ConfirmationInbox::Stamp(const std::string& workFile) const {
    std::string name = fs::path(workFile).filename().string();
    size_t at = name.rfind(kWork);
    return at == std::string::npos ? name : name.substr(at + kWork.size());
}

std::vector<std::string> ConfirmationInbox::WorkFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    const std::string prefix = name_ + kWork;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0 && it->is_regular_file(ec)) files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());  // the names carry the time, fixed width
    return files;
}

std::string ConfirmationInbox::Take() const {
    for (int attempt = 0; attempt < kMaxReopen; ++attempt) {
        // O_NONBLOCK: a FIFO at the path must not hold the batch
        os::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            if (errno == ENOENT) return "";
            Fail(errno, "The confirmation file " + path_ + " cannot be opened");
        }
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) Fail(errno, "The confirmation file " + path_ + " is being written by another process");
            Fail(errno, "The confirmation file " + path_ + " cannot be locked");
        }
        struct stat held {}, named{};
        if (::fstat(fd.Get(), &held) != 0) Fail(errno, "The confirmation file " + path_ + " cannot be examined");
        if (::stat(path_.c_str(), &named) != 0) {
            if (errno == ENOENT) return "";  // taken away meanwhile
            Fail(errno, "The confirmation file " + path_ + " cannot be examined");
        }
        if (!SameFile(held, named)) continue;  // a new file was renamed over it: lock that one
        if (!S_ISREG(held.st_mode)) Fail(EINVAL, "The confirmation file " + path_ + " is not a regular file");
        if (held.st_size == 0) return "";
        std::string work = NewWorkName();
        if (!RenameNew(path_, work)) Fail(errno, "The confirmation file " + path_ + " cannot be renamed to " + work);
        os::SyncParentFolder(work);
        return work;  // the descriptor closes here, which releases the lock
    }
    Fail(EAGAIN, "The confirmation file " + path_ + " keeps being replaced");
}

std::string ConfirmationInbox::Adopt(const std::string& file) const {
    std::string work = NewWorkName();
    if (!RenameNew(file, work)) Fail(errno, "The fetched confirmation file " + file + " cannot be renamed to " + work);
    os::SyncParentFolder(work);
    return work;
}

std::string ConfirmationInbox::ArchivedPath(const std::string& workFile) const {
    return folder_ + "/archive/" + name_ + "." + Stamp(workFile);
}

std::string ConfirmationInbox::RejectedPath(const std::string& workFile) const {
    return folder_ + "/rejected/" + name_ + "." + Stamp(workFile);
}

std::string ConfirmationInbox::Archive(const std::string& workFile) const {
    std::string archived = ArchivedPath(workFile);
    std::error_code ec;
    fs::create_directories(fs::path(archived).parent_path(), ec);
    if (ec) Fail(ec.value(), "The archive folder of " + path_ + " cannot be made");
    if (::rename(workFile.c_str(), archived.c_str()) != 0)
        Fail(errno, "The confirmation file " + workFile + " cannot be moved to " + archived);
    // kept for the days from now on, not from when the back end wrote it
    ::utimensat(AT_FDCWD, archived.c_str(), nullptr, 0);
    os::SyncParentFolder(archived);
    os::SyncParentFolder(workFile);
    return archived;
}

void ConfirmationInbox::WriteRejected(const std::string& workFile, const std::string& bytes) const {
    std::string rejected = RejectedPath(workFile);
    std::error_code ec;
    fs::create_directories(fs::path(rejected).parent_path(), ec);
    if (ec) Fail(ec.value(), "The folder for refused confirmations of " + path_ + " cannot be made");
    try {
        os::WriteFileAtomically(rejected, bytes, 0644);
    } catch (const std::system_error& e) {
        ole::Raise(ole::FileErrorNumber(e.code().value()), e.what(), "Ordexa.WebOrderConfirmation");
    }
}

void ConfirmationInbox::PruneArchive(int32_t days) const {
    std::error_code ec;
    const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24) * days;
    const std::string prefix = name_ + ".";
    for (fs::directory_iterator it(folder_ + "/archive", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (it->path().filename().string().compare(0, prefix.size(), prefix) != 0 || !it->is_regular_file(ignored))
            continue;
        if (it->last_write_time(ignored) < limit && !ignored) fs::remove(it->path(), ignored);
    }
}

}  // namespace ordexa
