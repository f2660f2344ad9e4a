// The export file as the back end shares it: the back end takes the file by
// locking it (flock LOCK_EX) and renaming it away. The writer appends whole
// groups of order messages under the same lock, and only to the file that the
// path still names, so that no message lands in a file already taken. A group
// is on disk (fsync) when Append returns, and the file stays locked until the
// writer keeps the group (its orders are marked exported) or withdraws it; a
// group that cannot be written whole is cut off again, so the file never holds
// half a message.
#pragma once

#include <sys/types.h>

#include <string>

namespace ordexa {

class ExportFileWriter {
public:
    // Opens the file for appending, creating it when missing; raises when it cannot.
    explicit ExportFileWriter(std::string path);
    ~ExportFileWriter();
    ExportFileWriter(const ExportFileWriter&) = delete;
    ExportFileWriter& operator=(const ExportFileWriter&) = delete;

    const std::string& Path() const { return path_; }
    // Appends the bytes with one write and flushes them to disk, keeping the file
    // locked; on failure the file is cut back to its size before and the error raised.
    void Append(const std::string& bytes);
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
    [[noreturn]] void Fail(int error, const std::string& what) const;

    std::string path_;
    int fd_ = -1;
    bool created_ = false;  // this writer made the file it holds
    bool written_ = false;  // a group was kept in the file it holds
    bool pending_ = false;  // a group is appended and the file locked
    off_t before_ = 0;      // the file's size before that group
};

}  // namespace ordexa
