// The XML export file as the back end shares it. The back end takes the file
// by locking it (flock LOCK_EX), checking that the path still names it and
// renaming it away (export_file_lock.h). The exporter never changes the file
// in place: it replaces it whole.
//
//   XmlExportFile file(path, journal);
//   std::string old = file.Open();        // the current document, locked ("" when there is none)
//   file.Replace(newDocument, orderIds);  // on disk under the path, still locked
//     (or, a document that never sits in memory whole:
//      file.Begin(); file.Write(piece); ...; file.Place(orderIds);)
//   ... mark the orders ...
//   file.Keep();                          // or file.Withdraw(): the old document again
//
// What is on disk: after Replace the path names the new document, flushed
// (file and folder). A process killed at any point leaves the path naming the
// old document or the new one, never part of either, and at most a stale
// temporary file beside it ("<path>.new", which the next Replace overwrites).
// While a replacement is neither kept nor withdrawn, the old and the new file
// stay locked, so the back end cannot take a document whose orders are not
// marked yet.
//
// A killed exporter releases its locks, so the back end may take a new
// document whose orders were never marked. Hence the journal: before each
// rename that puts a document in place (or takes it back), the exporter
// writes, whole and flushed, which temporary file the rename moves, the
// SHA-256 of what it holds and the document's orders. Whether the temporary
// file still holds those bytes tells the next exporter whether the rename
// happened, and so whether the new document is (or was, until the back end
// took it) under the path: then its orders are marked and never sent again;
// else they go out again. FinishStoppedXmlExports does this before any order
// is selected; Open refuses a path whose journal is not finished.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/sha256.h"
#include "platform/os/unique_fd.h"

namespace ordexa {

class XmlExportFile {
public:
    // A new file gets newFileMode; an existing one keeps its own mode. Without a
    // journal path no journal is kept.
    explicit XmlExportFile(std::string path, std::string journal = "", mode_t newFileMode = 0600);
    // Withdraws a replacement that was neither kept nor withdrawn, then releases the locks.
    ~XmlExportFile();
    XmlExportFile(const XmlExportFile&) = delete;
    XmlExportFile& operator=(const XmlExportFile&) = delete;

    const std::string& Path() const { return path_; }
    // Locks the file the path names and returns its content; "" when the path
    // names no file (nothing is locked then). Raises when the file cannot be
    // opened, locked or read, or when a stopped export's journal is not finished.
    const std::string& Open();
    bool Existed() const { return current_.Valid(); }
    // Puts the bytes in place of the file that Open found (or where there was
    // none), durably, keeping the new file locked; the journal names the orders
    // first. Raises when it cannot; the path then names the old document, unless
    // the failure came after the rename (the caller withdraws then).
    void Replace(std::string_view bytes, const std::vector<std::string>& orderIds = {});
    // The same in pieces: Begin starts the new document (locked, not yet in
    // place), Write appends to it, Place puts it in place as Replace does. A
    // document begun and never placed is dropped by Withdraw. Each raises when
    // it cannot.
    void Begin();
    void Write(std::string_view bytes);
    void Place(const std::vector<std::string>& orderIds);
    // Releases the file with the new document (its orders are marked).
    void Keep();
    // Puts the old document back (or takes the new file away when there was
    // none) and releases the file; raises when it cannot. The journal still
    // says where the orders are: a failed withdrawal leaves the new document in
    // place, and the next export marks its orders.
    void Withdraw();

private:
    enum class Rename { Place, Restore, Retract };
    // The temporary file, new, locked and with the mode.
    os::UniqueFd OpenTemporary(mode_t mode) const;
    void WriteTo(int fd, std::string_view bytes) const;
    // Marks the temporary file written and flushes it.
    void FlushTemporary(int fd) const;
    // Writes the bytes to the temporary file, locked and flushed; returns its descriptor.
    os::UniqueFd WriteTemporary(std::string_view bytes, mode_t mode) const;
    void DropBegun();
    void WriteJournal(Rename rename, const std::string& sha256) const;
    void RemoveJournal() const;
    void Release();

    std::string path_;
    std::string temporary_;
    std::string journal_;
    std::string old_;         // the content Open found
    os::UniqueFd current_;    // the file Open locked
    mode_t mode_ = 0600;      // of the file Open found, or the one a new file gets
    os::UniqueFd replacement_;
    os::UniqueFd begun_;                  // the temporary file of a document begun, not yet placed
    std::unique_ptr<os::Sha256> begunSha256_;
    bool replaced_ = false;   // the path names the replacement, neither kept nor withdrawn
    std::vector<std::string> orderIds_;  // of the replacement
    std::string replacementSha256_;
};

// The journal of an export path, in the folder where journals are kept.
std::string XmlExportJournalOf(const std::string& folder, const std::string& path);

// Marks the orders of a document that a stopped export put in place; raises when it cannot.
using MarkPlacedOrders = std::function<void(const std::vector<std::string>& orderIds)>;

// Finishes every journal in the folder that a stopped export left: the orders
// of a document that reached its path are marked, those of one that did not go
// out again; each case is logged with the path and the number of orders. A
// journal is removed only when it is finished: when the marking raises, it
// stays and the error passes on (no order may be selected meanwhile).
void FinishStoppedXmlExports(const std::string& folder, const MarkPlacedOrders& mark);

// The steps of an XML export ("locked", "temporary written", "temporary
// flushed", "journal written", "renamed", "folder flushed", "marking",
// "marked"): a test may stop or fail the export at each of them. Without a
// hook nothing happens.
using XmlExportStepHook = std::function<void(std::string_view step)>;
void SetXmlExportStepHook(XmlExportStepHook hook);
void XmlExportStep(std::string_view step);

}  // namespace ordexa
