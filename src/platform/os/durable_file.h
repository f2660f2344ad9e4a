// Durable file writes: what is on disk when these return, and what a failure
// leaves behind.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/os/unique_fd.h"

namespace os {

// Replaces (or creates) the file at path with bytes, so that after a crash the
// path holds either the old content or the new one, never a mix: the bytes go
// to a new temporary file in the same folder (created with the given mode,
// e.g. 0600, never readable by others in between), are flushed, renamed over
// the path, and the folder is flushed. On failure the temporary file is
// removed, the path is untouched, and std::system_error carries the path and
// the reason. An EIO from fsync is reported as it is and never retried: the
// kernel reports it once, so a retry could report success for lost data.
void WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// The same for bytes that come in pieces, so that they never sit in memory
// whole: Write each piece in order, then Commit. A writer destroyed before it
// commits removes its temporary file and leaves the path untouched.
class AtomicFileWriter {
public:
    AtomicFileWriter(std::string path, mode_t mode);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    void Write(std::string_view bytes);
    void Commit();

private:
    std::string path_, temporary_;
    UniqueFd fd_;
};

// Flushes the folder that holds path, so that a file created, renamed or
// removed there survives a crash. A folder that cannot be flushed is ignored
// (some file systems refuse it; the data of the file itself is on disk).
void SyncParentFolder(const std::string& path);

// The whole content of a regular file. Refuses anything else (a FIFO, a
// folder, a device) with std::system_error, so a reader never blocks on it.
std::string ReadRegularFile(const std::string& path);

// The same, handed over in pieces of up to 64 KiB as they are read, so that a
// large file never sits in memory whole. Returns the number of bytes read.
size_t ReadRegularFileInPieces(const std::string& path, const std::function<void(std::string_view)>& piece);

}  // namespace os
