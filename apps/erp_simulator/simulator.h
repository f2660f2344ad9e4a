// Plays the back end's EDI module on a folder: takes the export file the web
// side wrote (EDI messages or the XML document), keeps it in an archive, gives
// every order a sales order number, and writes the confirmation file (EDI
// lines or the XML confirmation). The sales orders go into the archive's book,
// from which the business objects answer. It takes the file as the web side expects:
// lock it, check that the path still names it, rename it away, release it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace erpsim {

struct Settings {
    std::filesystem::path exportFile;        // the instance's FILENAME
    std::filesystem::path confirmationFile;  // the instance's CONFIRMATIONFILENAME
    std::filesystem::path archive;           // where every taken file is kept
    std::string separator = ",";             // of the EDI confirmation lines
    bool xmlConfirmation = false;
    bool handshake = false;  // the semaphore files: act only while command.fil is absent
    std::string freightPart = "FREIGHT";  // the part number of the freight line
};

// The book of the sales orders confirmed from an archive (business_objects.h).
std::filesystem::path SalesOrderBook(const std::filesystem::path& archive);

struct CycleResult {
    std::vector<std::string> orderIds;  // confirmed in this cycle
    std::string archivedAs;             // the archived export file, "" when none was taken
    bool skipped = false;               // the web side still holds the folder (command.fil present)
};

// The command folder of an export file: "command" in its grandparent folder.
std::filesystem::path CommandFolder(const std::filesystem::path& exportFile);

// Places command.fil: the back end is ready for the web side.
void PlaceCommandFile(const Settings& settings);

// One cycle of the EDI module.
CycleResult RunCycle(const Settings& settings);

// Order ids of an export file's content (EDI ENV records, or XML order_id elements).
std::vector<std::string> OrderIdsOf(const std::string& content);

}  // namespace erpsim
