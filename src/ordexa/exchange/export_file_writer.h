// The export file as the back end shares it: the back end takes the file by
// locking it (flock LOCK_EX) and renaming it away. The writer appends whole
// groups of order messages under the same lock, and only to the file that the
// path still names, so that no message lands in a file already taken. A group
// is on disk (fsync) when Append returns, and the file stays locked until the
// writer keeps the group (its orders are marked exported) or withdraws it; a
// group that cannot be written whole is cut off again, so the file never holds
// half a message.
//
// A process killed in the middle of a write can still leave part of a group
// behind. So before each group the writer notes, in a journal of its own, the
// file, its size and the group's orders (sealed, and on disk before the group);
// the next writer of the path reads a journal left behind, asks whether that
// group's orders were marked, and cuts an unmarked group off again (its orders
// go out again whole).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/os/unique_fd.h"

namespace ordexa {

class ExportFileWriter {
public:
    // True when the orders of a group left behind by a killed writer were marked exported.
    using GroupKept = std::function<bool(const std::vector<std::string>& orderIds)>;

    // Opens the file for appending, creating it when missing with the given
    // mode (whatever the umask: the back end, another user, may have to read
    // and rename it); raises when it cannot. Without a journal path no journal is kept.
    explicit ExportFileWriter(std::string path, std::string journal = "", GroupKept kept = {}, mode_t mode = 0600);
    ~ExportFileWriter();
    ExportFileWriter(const ExportFileWriter&) = delete;
    ExportFileWriter& operator=(const ExportFileWriter&) = delete;

    const std::string& Path() const { return path_; }
    // Where the group appended last begins in the file.
    off_t GroupOffset() const { return before_; }
    // Appends the bytes with one write and flushes them to disk, keeping the file
    // locked; on failure the file is cut back to its size before and the error raised.
    void Append(const std::string& bytes, const std::vector<std::string>& orderIds = {});
    // Releases the file with the group appended last.
    void Keep();
    // Cuts the group appended last off again and releases the file; raises when it cannot.
    void Withdraw();
    // Closes the file (withdrawing a group not kept). A file that this writer
    // created and never kept anything in is removed again.
    void Close();

private:
    void Open();
    // Locks the open file, reopening the path while it names another file (or none).
    void LockCurrentFile(off_t& size);
    void WriteJournal(const struct stat& held, off_t size, const std::vector<std::string>& orderIds);
    void RemoveJournal();
    // Cuts off a group that a killed writer left half written or never had marked.
    void Recover(const struct stat& held, off_t& size);

    std::string path_;
    std::string journal_;
    GroupKept kept_;
    mode_t mode_;
    os::UniqueFd fd_;
    bool created_ = false;  // this writer made the file it holds
    bool written_ = false;  // a group was kept in the file it holds
    bool pending_ = false;  // a group is appended and the file locked
    off_t before_ = 0;      // the file's size before that group
    os::UniqueFd journalFd_;    // the journal this writer made, rewritten for each group
    bool journalHolds_ = false; // it names a group not kept yet
};

}  // namespace ordexa
