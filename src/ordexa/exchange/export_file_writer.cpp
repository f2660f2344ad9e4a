#include "exchange/export_file_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "automation/error.h"

namespace ordexa {
namespace {

// The back end renames the file away at most once per cycle; a path that keeps
// changing under the writer is not a file it can append to.
constexpr int kMaxReopen = 100;

int32_t ErrorNumber(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ole::err::PermissionDenied;
        case ENOENT:
        case ENOTDIR:
            return ole::err::PathNotFound;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ole::err::DiskFull;
        default:
            return ole::err::DeviceIOError;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void Unlock(int fd) { ::flock(fd, LOCK_UN); }

// The directory entry of a new file survives a crash only when the folder is flushed too.
void FlushFolderOf(const std::string& path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);  // some file systems refuse to flush a folder; the data itself is on disk already
    ::close(fd);
}

}  // namespace

ExportFileWriter::ExportFileWriter(std::string path) : path_(std::move(path)) { Open(); }

ExportFileWriter::~ExportFileWriter() { Close(); }

void ExportFileWriter::Open() {
    struct stat existing {};
    bool existed = ::stat(path_.c_str(), &existing) == 0;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail(errno, "cannot be opened");
    created_ = !existed;
    written_ = false;
}

void ExportFileWriter::LockCurrentFile(off_t& size) {
    for (int attempt = 0;; ++attempt) {
        while (::flock(fd_, LOCK_EX) != 0)
            if (errno != EINTR) Fail(errno, "cannot be locked");
        struct stat held {
        }, named{};
        if (::fstat(fd_, &held) != 0) {
            int error = errno;
            Unlock(fd_);
            Fail(error, "cannot be examined");
        }
        if (::stat(path_.c_str(), &named) == 0 && SameFile(held, named)) {
            size = held.st_size;
            return;
        }
        // The back end took the file meanwhile: what is written now belongs in a new one.
        Unlock(fd_);
        ::close(fd_);
        fd_ = -1;
        if (attempt == kMaxReopen) Fail(EAGAIN, "keeps being replaced");
        Open();
    }
}

void ExportFileWriter::Append(const std::string& bytes) {
    if (pending_) Keep();
    if (fd_ < 0) Open();
    LockCurrentFile(before_);
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd_) != 0) error = errno;
    if (error != 0) {
        // no half message stays behind: the next run writes these orders again
        bool cut = ::ftruncate(fd_, before_) == 0 && ::fsync(fd_) == 0;
        Unlock(fd_);
        Fail(error, cut ? "cannot be written" : "cannot be written, nor cut back to its size before the write");
    }
    if (created_ && !written_) FlushFolderOf(path_);
    pending_ = true;
}

void ExportFileWriter::Keep() {
    if (!pending_) return;
    pending_ = false;
    written_ = true;
    Unlock(fd_);
}

void ExportFileWriter::Withdraw() {
    if (!pending_) return;
    pending_ = false;
    int error = ::ftruncate(fd_, before_) == 0 && ::fsync(fd_) == 0 ? 0 : errno;
    Unlock(fd_);
    if (error != 0) Fail(error, "cannot be cut back to its size before the last write");
}

void ExportFileWriter::Close() {
    if (fd_ < 0) return;
    if (pending_) {
        try {
            Withdraw();
        } catch (...) {
            // closing never fails; the caller withdraws explicitly where it must know
        }
    }
    if (created_ && !written_ && ::flock(fd_, LOCK_EX) == 0) {
        struct stat held {
        }, named{};
        if (::fstat(fd_, &held) == 0 && held.st_size == 0 && ::stat(path_.c_str(), &named) == 0 &&
            SameFile(held, named))
            ::unlink(path_.c_str());
        Unlock(fd_);
    }
    ::close(fd_);
    fd_ = -1;
}

void ExportFileWriter::Fail(int error, const std::string& what) const {
    int32_t number = ErrorNumber(error);
    ole::Raise(number,
               std::string(ole::RuntimeErrorText(number)) + ": the export file " + path_ + " " + what + " (" +
                   std::strerror(error) + ")",
               "Ordexa.WebOrderExport");
}

}  // namespace ordexa
