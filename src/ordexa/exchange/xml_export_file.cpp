#include "ordexa/exchange/xml_export_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ordexa/exchange/export_file_lock.h"
#include "platform/automation/error.h"
#include "platform/os/durable_file.h"
#include "platform/os/scope_guard.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales_error_handling.h"

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

const std::string kJournalPrefix = "xml-export-";
const std::string kJournalSuffix = ".journal";
const char* kRenameNames[] = {"place", "restore", "retract"};

// Whether the file holds exactly the bytes of that SHA-256 (false when it is gone).
bool Holds(const std::string& file, const std::string& sha256) {
    try {
        return os::Sha256Hex(os::ReadRegularFile(file)) == sha256;
    } catch (const std::system_error&) {
        return false;
    }
}

// A journal as its writer left it: the rename it announced and the document's orders.
struct Journal {
    std::string rename, path, temporary, sha256;
    std::vector<std::string> orderIds;
};

Journal ReadJournal(const std::string& file) {
    std::string text = os::ReadRegularFile(file);
    Journal journal;
    bool valid = text.rfind("xml-export journal\n", 0) == 0;
    for (size_t at = text.find('\n') + 1; valid && at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            valid = false;  // written whole or not at all: a line without its end is no journal of ours
            break;
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t blank = line.find(' ');
        std::string key = line.substr(0, blank), value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "rename") journal.rename = value;
        else if (key == "file") journal.path = value;
        else if (key == "temporary") journal.temporary = value;
        else if (key == "sha256") journal.sha256 = value;
        else if (key == "order") journal.orderIds.push_back(value);
    }
    if (!valid || journal.temporary.empty() || journal.sha256.size() != 64 ||
        (journal.rename != "place" && journal.rename != "restore" && journal.rename != "retract"))
        ole::Raise(ole::err::DeviceIOError,
                   "The XML export journal " + file + " cannot be read; no order is exported until it is dealt with",
                   "Ordexa.WebOrderExport");
    return journal;
}

void RemoveFileDurably(const std::string& file) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        int error = errno;
        ole::Raise(ole::FileErrorNumber(error), "The XML export journal " + file + " cannot be removed (" + std::strerror(error) + ")",
                   "Ordexa.WebOrderExport");
    }
    os::SyncParentFolder(file);
}

// Finishes one journal (see FinishStoppedXmlExports).
void FinishJournal(const std::string& file, const MarkPlacedOrders& mark) {
    Journal journal = ReadJournal(file);
    bool holds = Holds(journal.temporary, journal.sha256);
    // The new document is in place when the placing rename happened (the
    // temporary file no longer holds it), the retracting one did not (it does
    // not hold it yet), or the restoring one did not (it still holds the old one).
    bool placed = (journal.rename == "restore") == holds;
    if (placed && !journal.orderIds.empty()) mark(journal.orderIds);
    // The journal goes before the temporary file (a journal without it would
    // say "placed"); after it, whatever the temporary file holds is of no use.
    RemoveFileDurably(file);
    ::unlink(journal.temporary.c_str());
    const std::string count = std::to_string(journal.orderIds.size());
    Sls_LogWarning("Ordexa.WebOrderExport",
                   placed ? "An XML export to '" + journal.path + "' was stopped after its document was put in place; its " +
                                count + " order(s) are marked exported now and are not sent again"
                          : "An XML export to '" + journal.path + "' was stopped before its document was put in place; its " +
                                count + " order(s) stay to be exported");
}

}  // namespace

std::string XmlExportJournalOf(const std::string& folder, const std::string& path) {
    char name[24];
    std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(path));
    return folder + "/" + kJournalPrefix + name + kJournalSuffix;
}

void FinishStoppedXmlExports(const std::string& folder, const MarkPlacedOrders& mark) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> journals;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() > kJournalPrefix.size() + kJournalSuffix.size() && name.rfind(kJournalPrefix, 0) == 0 &&
            name.compare(name.size() - kJournalSuffix.size(), kJournalSuffix.size(), kJournalSuffix) == 0)
            journals.push_back(it->path().string());
    }
    for (const auto& journal : journals) FinishJournal(journal, mark);
}

void SetXmlExportStepHook(XmlExportStepHook hook) { StepHook() = std::move(hook); }

void XmlExportStep(std::string_view step) {
    if (StepHook()) StepHook()(step);
}

XmlExportFile::XmlExportFile(std::string path, std::string journal, mode_t newFileMode)
    : path_(std::move(path)), temporary_(path_ + ".new"), journal_(std::move(journal)), mode_(newFileMode) {}

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
    struct stat journal {};
    if (!journal_.empty() && ::stat(journal_.c_str(), &journal) == 0)
        RaiseExportFileError(path_, EEXIST, "was being replaced by an export that stopped; its journal " + journal_ + " is not finished");
    for (int attempt = 0;; ++attempt) {
        os::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            if (errno == ENOENT) return old_;
            RaiseExportFileError(path_, errno, "cannot be opened");
        }
        struct stat held {};
        int error = LockIfCurrent(fd.Get(), path_, held);
        if (error == ESTALE) {
            // the back end took the file meanwhile: the path names a new one, or none
            if (attempt == kMaxReopen) RaiseExportFileError(path_, EAGAIN, "keeps being replaced");
            continue;
        }
        if (error != 0) RaiseExportFileError(path_, error, "cannot be locked");
        current_ = std::move(fd);
        if (!S_ISREG(held.st_mode)) RaiseExportFileError(path_, EINVAL, "is not a regular file");
        mode_ = held.st_mode & 07777;
        char buffer[65536];
        for (off_t at = 0;;) {
            ssize_t n = ::pread(current_.Get(), buffer, sizeof buffer, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) RaiseExportFileError(path_, errno, "cannot be read");
            if (n == 0) break;
            old_.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        XmlExportStep("locked");
        return old_;
    }
}

os::UniqueFd XmlExportFile::OpenTemporary(mode_t mode) const {
    // a temporary file that a killed exporter left behind holds nothing anyone needs
    if (::unlink(temporary_.c_str()) != 0 && errno != ENOENT) RaiseExportFileError(path_, errno, "cannot be written (" + temporary_ + ")");
    os::UniqueFd fd(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) RaiseExportFileError(path_, errno, "cannot be written (" + temporary_ + ")");
    auto removeTemporary = os::ScopeGuard([&] { ::unlink(temporary_.c_str()); });
    // locked before anyone can see it under the path
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) RaiseExportFileError(path_, errno, "cannot be locked (" + temporary_ + ")");
    // the umask may have narrowed the mode the back end needs
    if (::fchmod(fd.Get(), mode) != 0) RaiseExportFileError(path_, errno, "cannot be given its permissions");
    removeTemporary.Dismiss();
    return fd;
}

void XmlExportFile::WriteTo(int fd, std::string_view bytes) const {
    for (std::string_view rest = bytes; !rest.empty();) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) RaiseExportFileError(path_, n < 0 ? errno : EIO, "cannot be written (" + temporary_ + ")");
        rest.remove_prefix(static_cast<size_t>(n));
    }
}

void XmlExportFile::FlushTemporary(int fd) const {
    XmlExportStep("temporary written");
    // an EIO of fsync is reported as it is: the kernel reports it once, a retry could lie
    if (::fsync(fd) != 0) RaiseExportFileError(path_, errno, "cannot be flushed to disk (" + temporary_ + ")");
    XmlExportStep("temporary flushed");
}

os::UniqueFd XmlExportFile::WriteTemporary(std::string_view bytes, mode_t mode) const {
    os::UniqueFd fd = OpenTemporary(mode);
    auto removeTemporary = os::ScopeGuard([&] { ::unlink(temporary_.c_str()); });
    WriteTo(fd.Get(), bytes);
    FlushTemporary(fd.Get());
    removeTemporary.Dismiss();
    return fd;
}

void XmlExportFile::Replace(std::string_view bytes, const std::vector<std::string>& orderIds) {
    Begin();
    Write(bytes);
    Place(orderIds);
}

void XmlExportFile::Begin() {
    DropBegun();
    begun_ = OpenTemporary(mode_);
    if (!journal_.empty()) begunSha256_ = std::make_unique<os::Sha256>();
}

void XmlExportFile::Write(std::string_view bytes) {
    if (!begun_) RaiseExportFileError(path_, EBADF, "has no new document begun");
    if (begunSha256_) begunSha256_->Add(bytes);
    WriteTo(begun_.Get(), bytes);
}

void XmlExportFile::DropBegun() {
    if (!begun_) return;
    begun_.Reset();
    begunSha256_.reset();
    ::unlink(temporary_.c_str());
}

void XmlExportFile::Place(const std::vector<std::string>& orderIds) {
    if (!begun_) RaiseExportFileError(path_, EBADF, "has no new document begun");
    bool journaled = false;
    auto undo = os::ScopeGuard([&] {
        // Nothing was placed. The journal goes first: one whose temporary file is gone says "placed".
        if (journaled) try {
                RemoveJournal();
            } catch (...) {
                begun_.Reset();
                return;  // the temporary file stays and tells the next export that nothing was placed
            }
        DropBegun();
    });
    FlushTemporary(begun_.Get());
    orderIds_ = orderIds;
    if (!journal_.empty()) {
        replacementSha256_ = begunSha256_->Hex();
        begunSha256_.reset();
        // the temporary file's name is on disk before a journal names it
        os::SyncParentFolder(temporary_);
        journaled = true;
        WriteJournal(Rename::Place, replacementSha256_);
    }
    // The lock on the current file keeps the back end from taking it meanwhile;
    // where there was none, a file that appeared since is not replaced.
    int renamed = Existed() ? ::rename(temporary_.c_str(), path_.c_str()) : RenameNoReplace(temporary_, path_);
    if (renamed != 0) RaiseExportFileError(path_, errno, errno == EEXIST ? "appeared while the orders were exported" : "cannot be replaced");
    undo.Dismiss();
    replacement_ = std::move(begun_);
    replaced_ = true;
    XmlExportStep("renamed");
    os::SyncParentFolder(path_);
    XmlExportStep("folder flushed");
}

void XmlExportFile::Keep() {
    if (replaced_) {
        replaced_ = false;
        try {
            RemoveJournal();
        } catch (...) {
            // the orders are marked: the next export finds the document placed and marks nothing new
        }
    }
    Release();
}

void XmlExportFile::Withdraw() {
    DropBegun();
    if (replaced_) {
        // The path still names the replacement: it is locked, so nobody took it.
        // Until the journal says otherwise, the new document counts as placed;
        // a withdrawal that fails is not tried again, the journal settles it.
        replaced_ = false;
        if (Existed()) {
            os::UniqueFd restored = WriteTemporary(old_, mode_);
            if (!journal_.empty()) {
                os::SyncParentFolder(temporary_);
                WriteJournal(Rename::Restore, os::Sha256Hex(old_));
            }
            if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
                int error = errno;
                if (journal_.empty()) ::unlink(temporary_.c_str());
                RaiseExportFileError(path_, error, "cannot be put back as it was; the next export marks the orders it holds");
            }
        } else {
            if (!journal_.empty()) WriteJournal(Rename::Retract, replacementSha256_);
            // moved away rather than removed: the journal can tell it was
            if (::rename(path_.c_str(), temporary_.c_str()) != 0)
                RaiseExportFileError(path_, errno, "cannot be removed again; the next export marks the orders it holds");
        }
        os::SyncParentFolder(path_);
        RemoveJournal();
        if (!Existed()) ::unlink(temporary_.c_str());
    }
    Release();
}

void XmlExportFile::WriteJournal(Rename rename, const std::string& sha256) const {
    if (path_.find('\n') != std::string::npos) RaiseExportFileError(path_, EINVAL, "holds a line break in its name, which its journal cannot hold");
    std::string text = "xml-export journal\nrename " + std::string(kRenameNames[static_cast<int>(rename)]) + "\nfile " +
                       path_ + "\ntemporary " + temporary_ + "\nsha256 " + sha256 + "\n";
    for (const auto& id : orderIds_) text += "order " + id + "\n";
    try {
        os::WriteFileAtomically(journal_, text, 0600);
    } catch (const std::system_error& e) {
        RaiseExportFileError(path_, e.code().value(), "cannot be replaced: its journal " + journal_ + " cannot be written");
    }
    XmlExportStep("journal written");
}

void XmlExportFile::RemoveJournal() const {
    if (!journal_.empty()) RemoveFileDurably(journal_);
}

void XmlExportFile::Release() {
    for (os::UniqueFd* fd : {&replacement_, &current_})
        if (fd->Valid()) {
            UnlockFile(fd->Get());
            fd->Reset();
        }
}

}  // namespace ordexa
