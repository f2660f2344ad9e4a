#include "ordexa/exchange/export_file_lock.h"

#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "platform/automation/error.h"

namespace ordexa {

int LockIfCurrent(int fd, const std::string& path, struct stat& held) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return errno;
    struct stat named {};
    if (::fstat(fd, &held) != 0) {
        int error = errno;
        UnlockFile(fd);
        return error;
    }
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return 0;
    UnlockFile(fd);
    return ESTALE;
}

void UnlockFile(int fd) { ::flock(fd, LOCK_UN); }

void RaiseExportFileError(const std::string& path, int error, const std::string& what) {
    int32_t number = ole::FileErrorNumber(error);
    ole::Raise(number,
               std::string(ole::RuntimeErrorText(number)) + ": the export file " + path + " " + what + " (" +
                   std::strerror(error) + ")",
               "Ordexa.WebOrderExport");
}

}  // namespace ordexa
