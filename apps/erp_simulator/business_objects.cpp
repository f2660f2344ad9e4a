#include "business_objects.h"

#include <pugixml.hpp>

#include <fstream>
#include <sstream>

namespace erpsim {
namespace fs = std::filesystem;

namespace {

std::string Reply(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BOIREPLY><RECORD>";
    for (const auto& [name, value] : fields) xml += "<FIELD NAME=\"" + name + "\">" + value + "</FIELD>";
    return xml + "</RECORD></BOIREPLY>\n";
}

const char* kNoRecord = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BOIREPLY></BOIREPLY>\n";
const char* kMalformed = "<BOIREPLY><RECORD><FIELD NAME=\"ErrorNumber\">0</FIELD></RECORD";

// A well-meant answer in a shape that is no reply document: inside another root, or followed by a second root.
std::string Misshapen(BoiPolicy::Reply mode, const std::string& answer) {
    std::string body = answer.substr(answer.find("<BOIREPLY>"));
    if (mode == BoiPolicy::Reply::Wrapped) return "<X>" + body + "</X>\n";
    return body + "<BOIREPLY><RECORD/></BOIREPLY>\n";
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

int Number(const std::string& text) {
    try {
        return std::stoi(text);
    } catch (...) {
        return -1;
    }
}

}  // namespace

const int* BusinessObjects::Rule(const std::map<std::string, int>& rules, int line) {
    auto it = rules.find(std::to_string(line));
    if (it == rules.end()) it = rules.find("*");
    return it == rules.end() ? nullptr : &it->second;
}

void BusinessObjects::ReloadIfChanged() {
    for (const auto& book : books_) {
        std::error_code ec;
        auto stamp = fs::last_write_time(book, ec);
        if (ec) continue;
        auto it = loaded_.find(book);
        if (it != loaded_.end() && it->second == stamp) continue;
        loaded_[book] = stamp;
        auto& entries = entries_[book];
        std::ifstream in(book);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string salesOrder, word;
            BookEntry entry;
            if (!(words >> salesOrder >> entry.orderId)) continue;
            while (words >> word) {
                bool freight = word[0] == 'F';
                int nr = Number(freight ? word.substr(1) : word);
                if (nr <= 0) continue;
                entry.lines.insert(nr);
                if (freight) entry.freightLine = nr;
            }
            entries[salesOrder] = entry;
        }
    }
}

bool BusinessObjects::Knows(const std::string& salesOrder, int line) {
    ReloadIfChanged();
    for (const auto& [book, entries] : entries_) {
        auto it = entries.find(salesOrder);
        if (it != entries.end() && it->second.lines.count(line) > 0) return true;
    }
    return false;
}

std::string BusinessObjects::Handle(const std::string& request, std::string& journalLine) {
    pugi::xml_document doc;
    if (!doc.load_string(request.c_str()) || !doc.child("BOIREQUEST"))
        throw std::invalid_argument("the request is no BOIREQUEST document");
    auto root = doc.child("BOIREQUEST");
    std::string object = root.attribute("OBJECT").value();
    auto parameter = [&](std::initializer_list<const char*> names) -> std::string {
        for (const char* name : names)
            for (auto p : root.children("PARAMETER"))
                if (std::string(p.attribute("NAME").value()) == name) return p.text().get();
        return "";
    };
    std::string salesOrder = parameter({"OrderNumber", "SalesOrder"});
    int line = Number(parameter({"PositionNumber", "SOPositionNumber"}));
    journalLine = object + " " + salesOrder + " " + std::to_string(line);

    std::lock_guard lock(mutex_);
    bool known = Knows(salesOrder, line);
    if (object == "Allocation BOI" || object == "Allocate") {
        if (policy_.allocation == BoiPolicy::Reply::NoRecord) return kNoRecord;
        if (policy_.allocation == BoiPolicy::Reply::Malformed) return kMalformed;
        if (policy_.allocation != BoiPolicy::Reply::Answer)
            return Misshapen(policy_.allocation, Reply({{"ErrorNumber", "0"}}));
        if (!known) return Reply({{"ErrorNumber", "2"}});  // no order line found
        const int* refusal = Rule(policy_.refusals, line);
        return Reply({{"ErrorNumber", std::to_string(refusal ? *refusal : 0)}});
    }
    if (object == "OrderStatus BOI" || object == "UpdateOrderStatus") {
        if (policy_.status == BoiPolicy::Reply::NoRecord) return kNoRecord;
        if (policy_.status == BoiPolicy::Reply::Malformed) return kMalformed;
        if (policy_.status != BoiPolicy::Reply::Answer)
            return Misshapen(policy_.status, Reply({{"Success", "1"}, {"ReasonCode", "0"}}));
        if (!known) return Reply({{"Success", "0"}, {"ReasonCode", "0"}});  // order line not found
        if (const int* reason = Rule(policy_.reasons, line))
            return Reply({{"Success", "0"}, {"ReasonCode", std::to_string(*reason)}});
        return Reply({{"Success", "1"}, {"ReasonCode", "0"}});
    }
    throw std::invalid_argument("unknown business object '" + object + "'");
}

void AppendToBook(const fs::path& book, const std::vector<std::pair<std::string, BookEntry>>& salesOrders) {
    if (salesOrders.empty()) return;
    std::ofstream out(book, std::ios::app);
    for (const auto& [salesOrder, entry] : salesOrders) {
        out << salesOrder << " " << entry.orderId;
        for (int nr : entry.lines) out << " " << (nr == entry.freightLine ? "F" : "") << nr;
        out << "\n";
    }
    out.flush();
    if (!out) throw std::runtime_error("cannot write the sales order book " + book.string());
}

std::map<std::string, BookEntry> OrderLinesOf(const std::string& content, const std::string& freightPart) {
    std::map<std::string, BookEntry> orders;
    if (content.find("<BizTalk") != std::string::npos) {
        pugi::xml_document doc;
        if (!doc.load_string(content.c_str())) return orders;
        for (auto& id : doc.select_nodes("//OrderHeader/order_id")) {
            BookEntry& entry = orders[id.node().text().get()];
            entry.orderId = id.node().text().get();
            int nr = 0;
            for (auto& l : id.node().parent().parent().select_nodes("OrderLines/Orderline")) {
                entry.lines.insert(++nr);
                if (std::string(l.node().child("partnumber").text().get()) == freightPart) entry.freightLine = nr;
            }
        }
        return orders;
    }
    std::istringstream lines(content);
    std::string text;
    while (std::getline(lines, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.size() < 5 || text.compare(0, 3, "LIN") != 0) continue;
        auto fields = Split(text, text[3]);
        if (fields.size() < 4) continue;
        BookEntry& entry = orders[fields[1]];
        entry.orderId = fields[1];
        int nr = Number(fields[2]);
        if (nr <= 0) continue;
        entry.lines.insert(nr);
        if (fields[3] == freightPart) entry.freightLine = nr;
    }
    return orders;
}

}  // namespace erpsim
