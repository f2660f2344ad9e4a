#include "simulator.h"

#include "business_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace erpsim {
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes a file whole: readers see the old content or the new one, never half.
void WriteAtomically(const fs::path& file, const std::string& content) {
    fs::path temp = file;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + temp.string());
    }
    fs::rename(temp, file);
}

// Sales order numbers of at most 9 characters, counted in the archive folder.
std::string NextSalesOrderNumber(const fs::path& archive) {
    fs::path counterFile = archive / "sales-order-counter";
    long counter = 0;
    if (fs::exists(counterFile)) counter = std::stol("0" + ReadAll(counterFile));
    ++counter;
    WriteAtomically(counterFile, std::to_string(counter));
    char text[16];
    std::snprintf(text, sizeof text, "SO%07ld", counter % 10000000);
    return text;
}

// An open file held under flock(LOCK_EX): released and closed however the
// scope ends (the simulator links nothing of the system, so it has its own).
class LockedFile {
public:
    explicit LockedFile(const fs::path& file) : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~LockedFile() {
        if (fd_ < 0) return;
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

private:
    int fd_;
};

// Takes the export file: waits for a writer that holds its lock, checks that
// the path still names the file it locked (a writer may have put a new
// document in its place meanwhile, and holds that one locked until its orders
// are marked), moves it into the archive and reads what it holds. A rename
// that fails leaves the file where it was, unlocked.
bool TakeExportFile(const Settings& s, std::string& content, fs::path& archived) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        LockedFile held(s.exportFile);
        if (!held.IsOpen()) return false;
        struct stat locked {}, named{};
        bool current = ::fstat(held.Fd(), &locked) == 0 && ::stat(s.exportFile.c_str(), &named) == 0 &&
                       locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
        if (!current) continue;
        auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
        archived = s.archive / (s.exportFile.filename().string() + "." + std::to_string(stamp));
        fs::rename(s.exportFile, archived);
        content = ReadAll(archived);
        return true;
    }
    throw std::runtime_error("the export file " + s.exportFile.string() + " keeps being replaced");
}

void AppendConfirmations(const Settings& s, const std::vector<std::pair<std::string, std::string>>& pairs) {
    if (pairs.empty()) return;
    fs::create_directories(s.confirmationFile.parent_path());
    std::string existing = fs::exists(s.confirmationFile) ? ReadAll(s.confirmationFile) : "";
    if (!s.xmlConfirmation) {
        for (const auto& [id, number] : pairs) existing += id + s.separator + number + "\r\n";
        WriteAtomically(s.confirmationFile, existing);
        return;
    }
    pugi::xml_document doc;
    if (existing.empty() || !doc.load_string(existing.c_str()) || !doc.select_node("BizTalk/Body/QxOrderConfirmation")) {
        doc.reset();
        auto bizTalk = doc.append_child("BizTalk");
        bizTalk.append_attribute("xmlns") = "urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml";
        auto root = bizTalk.append_child("Body").append_child("QxOrderConfirmation");
        root.append_attribute("xmlns") = "urn:schemas-biztalk-org:vorn-com/QxOrderConfirmation";
    }
    auto root = doc.select_node("BizTalk/Body/QxOrderConfirmation").node();
    for (const auto& [id, number] : pairs) {
        auto order = root.append_child("SalesOrder");
        order.append_child("WebOrderId").text() = id.c_str();
        order.append_child("SalesOrderNr").text() = number.c_str();
    }
    std::ostringstream out;
    doc.save(out, "  ");
    WriteAtomically(s.confirmationFile, out.str());
}

}  // namespace

fs::path SalesOrderBook(const fs::path& archive) { return archive / "sales-orders"; }

fs::path CommandFolder(const fs::path& exportFile) { return exportFile.parent_path().parent_path() / "command"; }

void PlaceCommandFile(const Settings& s) {
    fs::create_directories(CommandFolder(s.exportFile));
    std::ofstream(CommandFolder(s.exportFile) / "command.fil").flush();
}

std::vector<std::string> OrderIdsOf(const std::string& content) {
    std::vector<std::string> ids;
    if (content.find("<BizTalk") != std::string::npos) {
        pugi::xml_document doc;
        if (doc.load_string(content.c_str()))
            for (auto& node : doc.select_nodes("//OrderHeader/order_id")) ids.push_back(node.node().text().get());
        return ids;
    }
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 5 || line.compare(0, 3, "ENV") != 0) continue;
        char separator = line[3];
        size_t end = line.find(separator, 4);
        ids.push_back(line.substr(4, end == std::string::npos ? std::string::npos : end - 4));
    }
    return ids;
}

CycleResult RunCycle(const Settings& s) {
    CycleResult result;
    fs::create_directories(s.archive);
    fs::path commandFile = CommandFolder(s.exportFile) / "command.fil";
    if (s.handshake && fs::exists(commandFile)) {
        result.skipped = true;  // the web side has not handed the folder over yet
        return result;
    }
    std::string content;
    fs::path archived;
    if (TakeExportFile(s, content, archived)) {
        result.archivedAs = archived.string();
        std::vector<std::pair<std::string, std::string>> pairs;
        std::vector<std::pair<std::string, BookEntry>> book;
        auto lines = OrderLinesOf(content, s.freightPart);
        for (const auto& id : OrderIdsOf(content)) {
            pairs.emplace_back(id, NextSalesOrderNumber(s.archive));
            result.orderIds.push_back(id);
            BookEntry entry = lines[id];
            entry.orderId = id;
            book.emplace_back(pairs.back().second, entry);
        }
        // the business objects answer for these sales orders from now on
        AppendToBook(SalesOrderBook(s.archive), book);
        AppendConfirmations(s, pairs);
    }
    if (s.handshake) PlaceCommandFile(s);
    return result;
}

}  // namespace erpsim
