// The export's own copies of what it writes: every EDI group and every XML
// group goes, before it is written, to archive/<BISID>-<exchange id>.<edi|xml>
// beside the file written (the export file, or the FTP outbox), mode 0600,
// flushed with its folder, so that it can be sent again byte for byte.
#pragma once

#include <cstdint>
#include <string>

namespace ordexa {

// The folder beside a file written where the copies are kept.
std::string ExportArchiveFolderOf(const std::string& file);

// Keeps a durable copy of the bytes; its path. Raises when it cannot.
std::string ArchiveExportGroup(const std::string& file, const std::string& bisid, const std::string& exchangeId,
                               const std::string& extension, const std::string& bytes);

// Removes the instance's copies last written more than the days ago; failures are ignored.
void PruneExportArchive(const std::string& file, const std::string& bisid, int32_t days);

}  // namespace ordexa
