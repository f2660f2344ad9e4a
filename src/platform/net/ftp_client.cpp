#include "platform/net/ftp_client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <filesystem>
#include <mutex>

#include "platform/os/durable_file.h"
#include "platform/os/random_bytes.h"
#include "platform/os/unique_fd.h"

namespace net {
namespace {

thread_local FtpError tLastError;
std::atomic<int> gLiveHandles{0};

void Record(int32_t code, std::string response = {}) {
    tLastError.code = code;
    tLastError.response = code == 0 ? std::string() : std::move(response);
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl result -> platform error code. The callers tell "not found" (18)
// from every other failure, and show the server's response for 12003.
//   CURLE_OK                                          0
//   CURLE_URL_MALFORMAT                               12005 invalid URL
//   CURLE_COULDNT_RESOLVE_HOST, _RESOLVE_PROXY         12007 name not resolved
//   CURLE_COULDNT_CONNECT, CURLE_INTERFACE_FAILED      12029 cannot connect
//   CURLE_OPERATION_TIMEDOUT, CURLE_FTP_ACCEPT_TIMEOUT 12002 time-out
//   CURLE_LOGIN_DENIED, CURLE_FTP_WEIRD_PASS_REPLY     12014 login refused
//   CURLE_REMOTE_ACCESS_DENIED (CWD refused), CURLE_REMOTE_FILE_NOT_FOUND (RETR
//   refused), CURLE_UPLOAD_FAILED (STOR refused), CURLE_QUOTE_ERROR (DELE
//   refused), CURLE_REMOTE_DISK_FULL, CURLE_FTP_COULDNT_SET_TYPE,
//   CURLE_FTP_PORT_FAILED, CURLE_FTP_ACCEPT_FAILED, CURLE_FTP_WEIRD_PASV_REPLY,
//   CURLE_FTP_WEIRD_227_FORMAT, CURLE_FTP_CANT_GET_HOST, CURLE_FTP_COULDNT_RETR_FILE,
//   CURLE_FTP_COULDNT_USE_REST, CURLE_FTP_BAD_FILE_LIST, CURLE_WEIRD_SERVER_REPLY
//                                                     12003 extended error (server response)
//   CURLE_PARTIAL_FILE, CURLE_GOT_NOTHING              12030 connection aborted
//   CURLE_SEND_ERROR, CURLE_RECV_ERROR                 12031 connection reset
//   CURLE_WRITE_ERROR                                  29 local write fault
//   CURLE_READ_ERROR, CURLE_ABORTED_BY_CALLBACK        30 local read fault
//   CURLE_OUT_OF_MEMORY                               8
//   anything else                                     12004 internal error
// A listing refused with "no files" (CURLE_REMOTE_FILE_NOT_FOUND on NLST) is
// an empty directory, and a find over it gives 18 (no more files).
int32_t PlatformCode(CURLcode result) {
    switch (result) {
        case CURLE_OK: return 0;
        case CURLE_URL_MALFORMAT: return ftp_err::InvalidUrl;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return ftp_err::NameNotResolved;
        case CURLE_COULDNT_CONNECT:
        case CURLE_INTERFACE_FAILED: return ftp_err::CannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_FTP_ACCEPT_TIMEOUT: return ftp_err::Timeout;
        case CURLE_LOGIN_DENIED:
        case CURLE_FTP_WEIRD_PASS_REPLY: return ftp_err::IncorrectPassword;
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_UPLOAD_FAILED:
        case CURLE_QUOTE_ERROR:
        case CURLE_REMOTE_DISK_FULL:
        case CURLE_FTP_COULDNT_SET_TYPE:
        case CURLE_FTP_PORT_FAILED:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_WEIRD_227_FORMAT:
        case CURLE_FTP_CANT_GET_HOST:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_FTP_COULDNT_USE_REST:
        case CURLE_FTP_BAD_FILE_LIST:
        case CURLE_WEIRD_SERVER_REPLY: return ftp_err::ExtendedError;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING: return ftp_err::ConnectionAborted;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR: return ftp_err::ConnectionReset;
        case CURLE_WRITE_ERROR: return ftp_err::WriteFault;
        case CURLE_READ_ERROR:
        case CURLE_ABORTED_BY_CALLBACK: return ftp_err::ReadFault;
        case CURLE_OUT_OF_MEMORY: return ftp_err::NotEnoughMemory;
        default: return ftp_err::InternalError;
    }
}

// errno of a failed local open -> platform code.
int32_t LocalFileCode(int error, bool reading, const std::filesystem::path& file) {
    switch (error) {
        case ENOENT: {
            std::error_code ec;
            bool folderThere = file.parent_path().empty() || std::filesystem::is_directory(file.parent_path(), ec);
            return reading && folderThere ? ftp_err::FileNotFound : ftp_err::PathNotFound;
        }
        case ENOTDIR: return ftp_err::PathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ftp_err::AccessDenied;
        case ENOMEM: return ftp_err::NotEnoughMemory;
        default: return reading ? ftp_err::ReadFault : ftp_err::WriteFault;
    }
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Host names and address literals only: the host goes into a URL.
bool ValidHost(const std::string& host) {
    if (host.empty()) return false;
    for (unsigned char c : host)
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':' && c != '[' && c != ']' && c != '%')
            return false;
    return true;
}

// "*" any run of characters, "?" one character, everything else literal.
bool WildcardMatch(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') return WildcardMatch(pattern + 1, name) || (*name && WildcardMatch(pattern, name + 1));
    if (*name == '\0') return false;
    return (*pattern == '?' || *pattern == *name) && WildcardMatch(pattern + 1, name + 1);
}

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

size_t AppendToString(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

const FtpError& LastFtpError() { return tLastError; }

int FtpClient::LiveHandles() { return gLiveHandles.load(); }

// ---------------------------------------------------------------------------

struct FtpConnection::Impl {
    CURL* curl = nullptr;
    std::string baseUrl;  // "ftp://host[:port]/"
    std::string user, password, proxy;
    FtpTimeouts timeouts;
    std::string directory;  // "" is the login directory

    // Server responses of the running request: lines of the reply being read,
    // and the last complete reply.
    std::string pendingReply;
    std::string lastReply;
    // A failure of our own side during a transfer (local file), overriding libcurl's code.
    int32_t localError = 0;
    FILE* file = nullptr;

    ~Impl() {
        if (curl) curl_easy_cleanup(curl);
    }

    static size_t OnResponseLine(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        std::string line(data, size * count);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (!impl->pendingReply.empty()) impl->pendingReply += "\n";
        impl->pendingReply += line;
        // A reply ends with "ddd " (or a bare "ddd"); "ddd-" opens a multi-line reply.
        bool final = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                     std::isdigit(static_cast<unsigned char>(line[1])) &&
                     std::isdigit(static_cast<unsigned char>(line[2])) && (line.size() == 3 || line[3] == ' ');
        if (final && impl->pendingReply.compare(0, 3, line, 0, 3) == 0) {
            impl->lastReply = std::move(impl->pendingReply);
            impl->pendingReply.clear();
        }
        return size * count;
    }

    static size_t WriteToFile(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        size_t written = std::fwrite(data, size, count, impl->file);
        if (written != count) {
            impl->localError = ftp_err::WriteFault;
            return 0;
        }
        return size * count;
    }

    static size_t ReadFromFile(char* buffer, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        size_t read = std::fread(buffer, size, count, impl->file);
        if (read < count && std::ferror(impl->file)) {
            impl->localError = ftp_err::ReadFault;
            return CURL_READFUNC_ABORT;
        }
        return read * size;
    }

    // Options of every request. The reset keeps the live connection; libcurl's
    // verbose trace stays off, since it would carry the password.
    void Prepare(const std::string& path) {
        curl_easy_reset(curl);
        curl_easy_setopt(curl, CURLOPT_URL, (baseUrl + path).c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
        // One CWD with the directory as given, as the callers' paths expect.
        curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
        // An empty proxy also keeps proxy variables of the environment out.
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        if (proxy.empty()) {
            curl_easy_setopt(curl, CURLOPT_FTPPORT, "-");  // active mode
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        }
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeouts.connect.count()));
        curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeouts.accept.count() * 1000));
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(timeouts.transfer.count()));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts.transfer.count()));
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Impl::OnResponseLine);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardBody);
        pendingReply.clear();
        lastReply.clear();
        localError = 0;
    }

    // Runs the prepared request and records its outcome for this thread.
    bool Perform() {
        CURLcode result = curl_easy_perform(curl);
        int32_t code = localError ? localError : PlatformCode(result);
        Record(code, lastReply);
        return code == 0;
    }

    bool Escape(const std::string& text, std::string& out) {
        if (HasControlCharacter(text)) {
            Record(ftp_err::InvalidName);
            return false;
        }
        char* escaped = curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size()));
        if (!escaped) {
            Record(ftp_err::NotEnoughMemory);
            return false;
        }
        out = escaped;
        curl_free(escaped);
        return true;
    }

    // The URL path of a directory ("" for the login directory, else ending in "/").
    bool DirectoryPath(const std::string& dir, std::string& out) {
        out.clear();
        if (dir.empty()) return true;
        if (!Escape(dir, out)) return false;
        out += "/";
        return true;
    }

    // The URL path of a name in the current directory.
    bool FilePath(const std::string& name, std::string& out) {
        std::string dirPath, namePath;
        if (!DirectoryPath(directory, dirPath) || !Escape(name, namePath)) return false;
        out = dirPath + namePath;
        return true;
    }
};

FtpConnection::FtpConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) { ++gLiveHandles; }

FtpConnection::~FtpConnection() {
    impl_.reset();
    --gLiveHandles;
}

bool FtpConnection::SetCurrentDirectory(const std::string& directory) {
    std::string path;
    if (!impl_->DirectoryPath(directory, path)) return false;
    impl_->Prepare(path);
    curl_easy_setopt(impl_->curl, CURLOPT_NOBODY, 1L);
    if (!impl_->Perform()) return false;
    impl_->directory = directory;
    return true;
}

bool FtpConnection::PutFile(const std::string& localFile, const std::string& remoteName, FtpTransferType type) {
    std::string path;
    if (!impl_->FilePath(remoteName, path)) return false;
    std::error_code ec;
    if (std::filesystem::is_directory(localFile, ec)) {
        Record(ftp_err::AccessDenied);
        return false;
    }
    std::unique_ptr<FILE, decltype(&std::fclose)> owned(std::fopen(localFile.c_str(), "rb"), &std::fclose);
    FILE* file = owned.get();
    if (!file) {
        Record(LocalFileCode(errno, true, localFile));
        return false;
    }
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    std::rewind(file);
    impl_->Prepare(path);
    impl_->file = file;
    curl_easy_setopt(impl_->curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(impl_->curl, CURLOPT_READFUNCTION, &Impl::ReadFromFile);
    curl_easy_setopt(impl_->curl, CURLOPT_READDATA, impl_.get());
    if (size >= 0) curl_easy_setopt(impl_->curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(impl_->curl, CURLOPT_TRANSFERTEXT, type == FtpTransferType::Ascii ? 1L : 0L);
    bool ok = impl_->Perform();
    impl_->file = nullptr;
    return ok;
}

bool FtpConnection::GetFile(const std::string& remoteName, const std::string& localFile, FtpTransferType type) {
    std::string path;
    if (!impl_->FilePath(remoteName, path)) return false;
    // The transfer goes to a new file beside the destination, which it replaces
    // only when complete: a failed get leaves the destination as it was.
    unsigned char random[6] = {};
    os::FillRandom(random, sizeof random);  // without random bytes the name is fixed; O_EXCL refuses one in use
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x%02x%02x", random[0], random[1], random[2], random[3],
                  random[4], random[5]);
    std::string partial = localFile + ".part-" + suffix;
    os::UniqueFd fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd) {
        Record(LocalFileCode(errno, false, localFile));
        return false;
    }
    FILE* file = ::fdopen(fd.Get(), "wb");
    if (!file) {
        ::unlink(partial.c_str());
        Record(ftp_err::NotEnoughMemory);
        return false;
    }
    fd.Release();  // the stream owns the descriptor from here; fclose below closes both
    impl_->Prepare(path);
    impl_->file = file;
    curl_easy_setopt(impl_->curl, CURLOPT_WRITEFUNCTION, &Impl::WriteToFile);
    curl_easy_setopt(impl_->curl, CURLOPT_WRITEDATA, impl_.get());
    curl_easy_setopt(impl_->curl, CURLOPT_TRANSFERTEXT, type == FtpTransferType::Ascii ? 1L : 0L);
    bool ok = impl_->Perform();
    impl_->file = nullptr;
    // on disk before it replaces the destination: a caller may delete the remote file next
    if (ok && (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0)) {
        Record(ftp_err::WriteFault);
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        Record(ftp_err::WriteFault);
        ok = false;
    }
    if (ok && std::rename(partial.c_str(), localFile.c_str()) != 0) {
        Record(LocalFileCode(errno, false, localFile));
        ok = false;
    }
    if (!ok) ::unlink(partial.c_str());
    if (ok) os::SyncParentFolder(localFile);
    return ok;
}

// Commands sent after entering the current directory, before an empty transfer.
bool FtpConnection::SendCommands(const std::vector<std::string>& lines) {
    std::string dirPath;
    if (!impl_->DirectoryPath(impl_->directory, dirPath)) return false;
    for (const auto& line : lines)
        if (HasControlCharacter(line)) {
            Record(ftp_err::InvalidName);
            return false;
        }
    impl_->Prepare(dirPath);
    curl_slist* commands = nullptr;
    for (const auto& line : lines) commands = curl_slist_append(commands, line.c_str());
    curl_easy_setopt(impl_->curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(impl_->curl, CURLOPT_PREQUOTE, commands);
    bool ok = impl_->Perform();
    curl_easy_setopt(impl_->curl, CURLOPT_PREQUOTE, nullptr);
    curl_slist_free_all(commands);
    return ok;
}

bool FtpConnection::DeleteFile(const std::string& remoteName) { return SendCommands({"DELE " + remoteName}); }

bool FtpConnection::RenameFile(const std::string& remoteName, const std::string& newName) {
    return SendCommands({"RNFR " + remoteName, "RNTO " + newName});
}

bool FtpConnection::ListNames(std::vector<std::string>& names) {
    names.clear();
    std::string dirPath;
    if (!impl_->DirectoryPath(impl_->directory, dirPath)) return false;
    std::string listing;
    impl_->Prepare(dirPath);
    curl_easy_setopt(impl_->curl, CURLOPT_DIRLISTONLY, 1L);
    curl_easy_setopt(impl_->curl, CURLOPT_WRITEFUNCTION, &AppendToString);
    curl_easy_setopt(impl_->curl, CURLOPT_WRITEDATA, &listing);
    CURLcode result = curl_easy_perform(impl_->curl);
    if (result == CURLE_REMOTE_FILE_NOT_FOUND) {
        // some servers answer an empty directory with 550
        Record(0);
        return true;
    }
    int32_t code = PlatformCode(result);
    Record(code, impl_->lastReply);
    if (code != 0) return false;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        std::string line = listing.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        // some servers list "dir/name"
        size_t slash = line.find_last_of('/');
        if (slash != std::string::npos) line.erase(0, slash + 1);
        if (!line.empty()) names.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

bool FtpConnection::FindFirstFile(const std::string& pattern, std::string& found) {
    found.clear();
    std::vector<std::string> names;
    if (!ListNames(names)) return false;
    for (const auto& name : names) {
        if (WildcardMatch(pattern.c_str(), name.c_str())) {
            found = name;
            Record(0);
            return true;
        }
    }
    Record(ftp_err::NoMoreFiles);
    return false;
}

// ---------------------------------------------------------------------------

FtpClient::FtpClient(std::string proxy, const FtpTimeouts& timeouts) : proxy_(std::move(proxy)), timeouts_(timeouts) {
    ++gLiveHandles;
}

FtpClient::~FtpClient() { --gLiveHandles; }

std::unique_ptr<FtpClient> FtpClient::Open(const std::string& proxy, const FtpTimeouts& timeouts) {
    GlobalInit();
    if (HasControlCharacter(proxy)) {
        Record(ftp_err::InvalidUrl);
        return nullptr;
    }
    Record(0);
    return std::unique_ptr<FtpClient>(new FtpClient(proxy, timeouts));
}

std::unique_ptr<FtpConnection> FtpClient::Connect(const std::string& host, int32_t port, const std::string& user,
                                                  const std::string& password) {
    if (!ValidHost(host) || port < 0 || port > 65535) {
        Record(ftp_err::InvalidUrl);
        return nullptr;
    }
    auto impl = std::make_unique<FtpConnection::Impl>();
    impl->curl = curl_easy_init();
    if (!impl->curl) {
        Record(ftp_err::InternalError);
        return nullptr;
    }
    bool literal = host.find(':') != std::string::npos && host.front() != '[';
    impl->baseUrl = "ftp://" + (literal ? "[" + host + "]" : host);
    if (port != 0) impl->baseUrl += ":" + std::to_string(port);
    impl->baseUrl += "/";
    impl->user = user;
    impl->password = password;
    impl->proxy = proxy_;
    impl->timeouts = timeouts_;
    // Log in and stay in the login directory; no data connection is opened.
    impl->Prepare("");
    curl_easy_setopt(impl->curl, CURLOPT_NOBODY, 1L);
    if (!impl->Perform()) return nullptr;
    return std::unique_ptr<FtpConnection>(new FtpConnection(std::move(impl)));
}

}  // namespace net
