#include "exchange/xml_export_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "automation/error.h"
#include "exchange/export_file_lock.h"
#include "os/durable_file.h"
#include "os/scope_guard.h"

namespace ordexa {
namespace {

// The back end renames the file away at most once per cycle; a path that keeps
// changing under the exporter is not a file it can replace.
constexpr int kMaxReopen = 100;

XmlExportStepHook& StepHook() {
    static XmlExportStepHook hook;
    return hook;
}

// Renames without replacing a file that appeared meanwhile, where the file system allows it.
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    return ::rename(from.c_str(), to.c_str());
}

}  // namespace

void SetXmlExportStepHook(XmlExportStepHook hook) { StepHook() = std::move(hook); }

void XmlExportStep(std::string_view step) {
    if (StepHook()) StepHook()(step);
}

XmlExportFile::XmlExportFile(std::string path, mode_t newFileMode)
    : path_(std::move(path)), temporary_(path_ + ".new"), mode_(newFileMode) {}

XmlExportFile::~XmlExportFile() {
    try {
        Withdraw();
    } catch (...) {
        // the caller withdraws explicitly where it must know; the locks go in any case
    }
    Release();
}

const std::string& XmlExportFile::Open() {
    Release();
    old_.clear();
    for (int attempt = 0;; ++attempt) {
        os::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            if (errno == ENOENT) return old_;
            Fail(errno, "cannot be opened");
        }
        struct stat held {};
        int error = LockIfCurrent(fd.Get(), path_, held);
        if (error == ESTALE) {
            // the back end took the file meanwhile: the path names a new one, or none
            if (attempt == kMaxReopen) Fail(EAGAIN, "keeps being replaced");
            continue;
        }
        if (error != 0) Fail(error, "cannot be locked");
        current_ = std::move(fd);
        if (!S_ISREG(held.st_mode)) Fail(EINVAL, "is not a regular file");
        mode_ = held.st_mode & 07777;
        char buffer[65536];
        for (off_t at = 0;;) {
            ssize_t n = ::pread(current_.Get(), buffer, sizeof buffer, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Fail(errno, "cannot be read");
            if (n == 0) break;
            old_.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        XmlExportStep("locked");
        return old_;
    }
}

os::UniqueFd XmlExportFile::WriteTemporary(std::string_view bytes, mode_t mode) const {
    // a temporary file that a killed exporter left behind holds nothing anyone needs
    if (::unlink(temporary_.c_str()) != 0 && errno != ENOENT) Fail(errno, "cannot be written (" + temporary_ + ")");
    os::UniqueFd fd(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) Fail(errno, "cannot be written (" + temporary_ + ")");
    auto removeTemporary = os::ScopeGuard([&] { ::unlink(temporary_.c_str()); });
    // locked before anyone can see it under the path
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) Fail(errno, "cannot be locked (" + temporary_ + ")");
    // the umask may have narrowed the mode the back end needs
    if (::fchmod(fd.Get(), mode) != 0) Fail(errno, "cannot be given its permissions");
    for (std::string_view rest = bytes; !rest.empty();) {
        ssize_t n = ::write(fd.Get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail(n < 0 ? errno : EIO, "cannot be written (" + temporary_ + ")");
        rest.remove_prefix(static_cast<size_t>(n));
    }
    XmlExportStep("temporary written");
    // an EIO of fsync is reported as it is: the kernel reports it once, a retry could lie
    if (::fsync(fd.Get()) != 0) Fail(errno, "cannot be flushed to disk (" + temporary_ + ")");
    XmlExportStep("temporary flushed");
    removeTemporary.Dismiss();
    return fd;
}

void XmlExportFile::Replace(std::string_view bytes) {
    os::UniqueFd fd = WriteTemporary(bytes, mode_);
    auto removeTemporary = os::ScopeGuard([&] { ::unlink(temporary_.c_str()); });
    // The lock on the current file keeps the back end from taking it meanwhile;
    // where there was none, a file that appeared since is not replaced.
    int renamed = Existed() ? ::rename(temporary_.c_str(), path_.c_str()) : RenameNoReplace(temporary_, path_);
    if (renamed != 0)
        Fail(errno, errno == EEXIST ? "appeared while the orders were exported" : "cannot be replaced");
    removeTemporary.Dismiss();
    replacement_ = std::move(fd);
    replaced_ = true;
    XmlExportStep("renamed");
    os::SyncParentFolder(path_);
    XmlExportStep("folder flushed");
}

void XmlExportFile::Keep() {
    replaced_ = false;
    Release();
}

void XmlExportFile::Withdraw() {
    if (replaced_) {
        // the path still names the replacement: it is locked, so nobody took it
        if (Existed()) {
            os::UniqueFd restored = WriteTemporary(old_, mode_);
            if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
                int error = errno;
                ::unlink(temporary_.c_str());
                Fail(error, "cannot be put back as it was");
            }
        } else if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
            Fail(errno, "cannot be removed again");
        }
        os::SyncParentFolder(path_);
        replaced_ = false;
    }
    Release();
}

void XmlExportFile::Release() {
    for (os::UniqueFd* fd : {&replacement_, &current_})
        if (fd->Valid()) {
            UnlockFile(fd->Get());
            fd->Reset();
        }
}

void XmlExportFile::Fail(int error, const std::string& what) const {
    int32_t number = FileErrorNumber(error);
    ole::Raise(number,
               std::string(ole::RuntimeErrorText(number)) + ": the export file " + path_ + " " + what + " (" +
                   std::strerror(error) + ")",
               "Ordexa.WebOrderExport");
}

}  // namespace ordexa
