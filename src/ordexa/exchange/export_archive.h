// The export's own copies of what it writes: every EDI group and every XML
// group goes, before it is written, to archive/<BISID>-<exchange id>.<edi|xml>
// beside the file written (the export file, or the FTP outbox), mode 0600,
// flushed with its folder, so that it can be sent again byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/os/durable_file.h"

namespace ordexa {

// The folder beside a file written where the copies are kept.
std::string ExportArchiveFolderOf(const std::string& file);

// Keeps a durable copy of the bytes; its path. Raises when it cannot.
std::string ArchiveExportGroup(const std::string& file, const std::string& bisid, const std::string& exchangeId,
                               const std::string& extension, const std::string& bytes);

// The same copy written as the group is: Add its bytes in order, then Keep
// (durable, like ArchiveExportGroup); a copy never kept leaves no file.
class ExportGroupCopy {
public:
    ExportGroupCopy(const std::string& file, const std::string& bisid, const std::string& exchangeId,
                    const std::string& extension);
    void Add(std::string_view bytes);
    // Its path; raises when it cannot be kept.
    std::string Keep();

private:
    std::string archive_;
    os::AtomicFileWriter writer_;
};

// Removes the instance's copies last written more than the days ago; failures are ignored.
void PruneExportArchive(const std::string& file, const std::string& bisid, int32_t days);

}  // namespace ordexa
