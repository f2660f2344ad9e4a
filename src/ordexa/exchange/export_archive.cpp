#include "ordexa/exchange/export_archive.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/automation/error.h"
#include "platform/os/durable_file.h"

namespace ordexa {

namespace fs = std::filesystem;

std::string ExportArchiveFolderOf(const std::string& file) {
    std::string folder = fs::path(file).parent_path().string();
    return (folder.empty() ? std::string(".") : folder) + "/archive";
}

namespace {

[[noreturn]] void RaiseCopyFailure(const std::system_error& e) {
    int32_t number = ole::FileErrorNumber(e.code().value());
    ole::Raise(number, std::string(ole::RuntimeErrorText(number)) + ": the copy of the export group cannot be kept: " + e.what(),
               "Ordexa.WebOrderExport");
}

// The copy's path, its folder made where there is none.
std::string ArchivePath(const std::string& file, const std::string& bisid, const std::string& exchangeId,
                        const std::string& extension) {
    std::string folder = ExportArchiveFolderOf(file);
    if (::mkdir(folder.c_str(), 0700) == 0) os::SyncParentFolder(folder);
    return folder + "/" + bisid + "-" + exchangeId + "." + extension;
}

os::AtomicFileWriter OpenCopy(const std::string& archive) {
    try {
        return os::AtomicFileWriter(archive, 0600);
    } catch (const std::system_error& e) {
        RaiseCopyFailure(e);
    }
}

}  // namespace

std::string ArchiveExportGroup(const std::string& file, const std::string& bisid, const std::string& exchangeId,
                               const std::string& extension, const std::string& bytes) {
    ExportGroupCopy copy(file, bisid, exchangeId, extension);
    copy.Add(bytes);
    return copy.Keep();
}

ExportGroupCopy::ExportGroupCopy(const std::string& file, const std::string& bisid, const std::string& exchangeId,
                                 const std::string& extension)
    : archive_(ArchivePath(file, bisid, exchangeId, extension)), writer_(OpenCopy(archive_)) {}

void ExportGroupCopy::Add(std::string_view bytes) {
    try {
        writer_.Write(bytes);
    } catch (const std::system_error& e) {
        RaiseCopyFailure(e);
    }
}

std::string ExportGroupCopy::Keep() {
    try {
        writer_.Commit();
    } catch (const std::system_error& e) {
        RaiseCopyFailure(e);
    }
    return archive_;
}

void PruneExportArchive(const std::string& file, const std::string& bisid, int32_t days) {
    std::error_code ec;
    const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24) * days;
    const std::string prefix = bisid + "-";
    for (fs::directory_iterator it(ExportArchiveFolderOf(file), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        std::string name = it->path().filename().string();
        auto extension = it->path().extension();
        if (name.compare(0, prefix.size(), prefix) != 0 || (extension != ".edi" && extension != ".xml") ||
            !it->is_regular_file(ignored))
            continue;
        if (it->last_write_time(ignored) < limit && !ignored) fs::remove(it->path(), ignored);
    }
}

}  // namespace ordexa
