// The folder of a confirmation file as the batch works in it.
//
// The back end writes the confirmation file, in place while it holds
// flock(LOCK_EX) on it, or by renaming a complete new file over it. The batch
// takes the file by locking it and renaming it, in the same folder, to a work
// name "<name>.work-<UTC time>", then releases it: whatever the back end writes
// afterwards lands in a new file at the path, for the next batch. A work file
// is applied, its refused entries are written to "rejected/<name>.<time>", and
// it is moved to "archive/<name>.<time>"; each rename is flushed to disk. Work
// files that a batch did not finish (it died, the database failed, the file
// yielded no entry) stay and are applied first by the next batch, oldest first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ordexa {

class ConfirmationInbox {
public:
    // path: the confirmation file on the local file system.
    explicit ConfirmationInbox(std::string path);

    const std::string& Path() const { return path_; }
    // Work files of the folder, oldest first.
    std::vector<std::string> WorkFiles() const;
    // Takes the file at the path and returns its work name; "" when there is
    // none or it is empty (the back end may have created it and not written it
    // yet). Raises when another process holds its lock or it cannot be renamed:
    // the file then stays at the path.
    std::string Take() const;
    // Gives a file of the folder (a copy fetched from the FTP host) a new work name.
    std::string Adopt(const std::string& file) const;
    // Where a work file goes when it is done, and where its refused entries go.
    std::string ArchivedPath(const std::string& workFile) const;
    std::string RejectedPath(const std::string& workFile) const;
    // Moves the work file to the archive; raises when it cannot.
    std::string Archive(const std::string& workFile) const;
    // Writes the refused entries of a work file, whole or not at all.
    void WriteRejected(const std::string& workFile, const std::string& bytes) const;
    // Removes archived files last written more than the days ago; failures are ignored.
    void PruneArchive(int32_t days) const;

private:
    std::string NewWorkName() const;
    std::string Stamp(const std::string& workFile) const;

    std::string path_, folder_, name_;
};

}  // namespace ordexa
