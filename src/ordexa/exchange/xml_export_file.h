// The XML export file as the back end shares it. The back end takes the file
// by locking it (flock LOCK_EX), checking that the path still names it and
// renaming it away (export_file_lock.h). The exporter never changes the file
// in place: it replaces it whole.
//
//   XmlExportFile file(path);
//   std::string old = file.Open();   // the current document, locked ("" when there is none)
//   file.Replace(newDocument);       // on disk under the path, still locked
//   ... mark the orders ...
//   file.Keep();                     // or file.Withdraw(): the old document again
//
// What is on disk: after Replace the path names the new document, flushed
// (file and folder). A process killed at any point leaves the path naming the
// old document or the new one, never part of either, and at most a stale
// temporary file beside it ("<path>.new", which the next Replace overwrites).
// While a replacement is neither kept nor withdrawn, the old and the new file
// stay locked, so the back end cannot take a document whose orders are not
// marked yet. A new document may still hold orders that a killed exporter
// never marked; the next exporter of those orders drops their elements.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>

#include "os/unique_fd.h"

namespace ordexa {

class XmlExportFile {
public:
    // A new file gets newFileMode; an existing one keeps its own mode.
    explicit XmlExportFile(std::string path, mode_t newFileMode = 0600);
    // Withdraws a replacement that was neither kept nor withdrawn, then releases the locks.
    ~XmlExportFile();
    XmlExportFile(const XmlExportFile&) = delete;
    XmlExportFile& operator=(const XmlExportFile&) = delete;

    const std::string& Path() const { return path_; }
    // Locks the file the path names and returns its content; "" when the path
    // names no file (nothing is locked then). Raises when the file cannot be
    // opened, locked or read.
    const std::string& Open();
    bool Existed() const { return current_.Valid(); }
    // Puts the bytes in place of the file that Open found (or where there was
    // none), durably, keeping the new file locked. Raises when it cannot; the
    // path then names the old document, unless the failure came after the
    // rename (the caller withdraws then).
    void Replace(std::string_view bytes);
    // Releases the file with the new document.
    void Keep();
    // Puts the old document back (or removes the new file when there was none)
    // and releases the file; raises when it cannot.
    void Withdraw();

private:
    // Writes the bytes to the temporary file, locked and flushed; returns its descriptor.
    os::UniqueFd WriteTemporary(std::string_view bytes, mode_t mode) const;
    [[noreturn]] void Fail(int error, const std::string& what) const;
    void Release();

    std::string path_;
    std::string temporary_;
    std::string old_;         // the content Open found
    os::UniqueFd current_;    // the file Open locked
    mode_t mode_ = 0600;      // of the file Open found, or the one a new file gets
    os::UniqueFd replacement_;
    bool replaced_ = false;   // the path names the replacement, neither kept nor withdrawn
};

// The steps of an XML export ("locked", "temporary written", "temporary
// flushed", "renamed", "folder flushed", "marking", "marked"): a test may stop
// or fail the export at each of them. Without a hook nothing happens.
using XmlExportStepHook = std::function<void(std::string_view step)>;
void SetXmlExportStepHook(XmlExportStepHook hook);
void XmlExportStep(std::string_view step);

}  // namespace ordexa
