#include "platform/os/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <cstdint>
#include <system_error>

#include "platform/os/random_bytes.h"
#include "platform/os/scope_guard.h"
#include "platform/os/unique_fd.h"

namespace os {
namespace {

[[noreturn]] void Fail(int error, const std::string& path, const std::string& what) {
    throw std::system_error(error, std::generic_category(), path + ": " + what);
}

std::string TemporaryNameFor(const std::string& path) {
    uint32_t random = 0;
    FillRandom(&random, sizeof random);  // without random bytes the process id stays; O_EXCL refuses a name in use
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random);
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno, path, "cannot be written");
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

void SyncParentFolder(const std::string& path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.Get());
}

void WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
    AtomicFileWriter writer(path, mode);
    writer.Write(bytes);
    writer.Commit();
}

AtomicFileWriter::AtomicFileWriter(std::string path, mode_t mode)
    : path_(std::move(path)), temporary_(TemporaryNameFor(path_)) {
    fd_.Reset(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd_) Fail(errno, path_, "cannot be written (temporary file " + temporary_ + ")");
    auto removeTemporary = ScopeGuard([&] { ::unlink(temporary_.c_str()); });
    // the umask may have narrowed the mode; the caller's mode is what the file gets
    if (::fchmod(fd_.Get(), mode) != 0) Fail(errno, path_, "cannot be given its permissions");
    removeTemporary.Dismiss();
}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_) ::unlink(temporary_.c_str());
}

void AtomicFileWriter::Write(std::string_view bytes) { WriteAll(fd_.Get(), bytes, path_); }

void AtomicFileWriter::Commit() {
    UniqueFd fd = std::move(fd_);
    auto removeTemporary = ScopeGuard([&] { ::unlink(temporary_.c_str()); });
    if (::fsync(fd.Get()) != 0) Fail(errno, path_, "cannot be flushed to disk");
    if (fd.Close() != 0) Fail(errno, path_, "cannot be closed");
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) Fail(errno, path_, "cannot be replaced");
    removeTemporary.Dismiss();
    SyncParentFolder(path_);
}

size_t ReadRegularFileInPieces(const std::string& path, const std::function<void(std::string_view)>& piece) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) Fail(errno, path, "cannot be opened");
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) Fail(errno, path, "cannot be examined");
    if (!S_ISREG(st.st_mode)) Fail(EINVAL, path, "is not a regular file");
    size_t total = 0;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno, path, "cannot be read");
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
        piece(std::string_view(buffer, static_cast<size_t>(n)));
    }
    return total;
}

std::string ReadRegularFile(const std::string& path) {
    std::string content;
    ReadRegularFileInPieces(path, [&](std::string_view bytes) { content.append(bytes); });
    return content;
}

}  // namespace os
