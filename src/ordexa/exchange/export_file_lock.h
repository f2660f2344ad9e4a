// The lock protocol of the export files that the back end takes: it locks the
// file the path names (flock LOCK_EX), checks that the path still names it,
// renames it away and releases it. Whoever writes an export file therefore
// changes it (appends to it, or renames a new document over it) only while it
// holds that lock on the file the path names; a file taken meanwhile is no
// longer its business.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace ordexa {

// Waits for the lock on the file open at fd, then checks that the path still
// names that file. Returns 0 when it does: the file stays locked and held
// describes it. Returns ESTALE when the path names another file or none (the
// back end took it meanwhile), or the errno of a failing call; in both cases
// the lock is not held on return.
int LockIfCurrent(int fd, const std::string& path, struct stat& held);

// Releases the lock that LockIfCurrent took.
void UnlockFile(int fd);

// Raises the failure of an operation on the export file at path: "<the
// platform's text of its number>: the export file <path> <what> (<errno's
// text>)", numbered by ole::FileErrorNumber.
[[noreturn]] void RaiseExportFileError(const std::string& path, int error, const std::string& what);

}  // namespace ordexa
