// The back end's business objects, simulated: answers allocation and order
// status requests (the request and reply documents of docs/exchange-formats.md,
// "The business-object protocol") for the sales orders the EDI module confirmed.
// Those are kept in a book, one line per sales order, which RunCycle appends to
// ("<archive>/sales-orders"):
//
//   SO0000001 <web order id> 1 2 3 F4
//
// the sales order number, the web order id, and the numbers of its lines; the
// freight line (the line of the freight part number) is marked "F".
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace erpsim {

struct BookEntry {
    std::string orderId;
    std::set<int> lines;
    int freightLine = 0;  // 0: none
};

// How the simulated back end answers. A line key "*" stands for every line.
struct BoiPolicy {
    // Wrapped: the answer inside another root element; SecondRoot: the answer, then a second root after it
    enum class Reply { Answer, NoRecord, Malformed, Wrapped, SecondRoot };
    Reply allocation = Reply::Answer;
    Reply status = Reply::Answer;
    std::map<std::string, int> refusals;  // line number (or "*") -> allocation error number 1-5
    std::map<std::string, int> reasons;   // line number (or "*") -> status reason code (success 0)
};

class BusinessObjects {
public:
    BusinessObjects(std::vector<std::filesystem::path> books, BoiPolicy policy)
        : books_(std::move(books)), policy_(std::move(policy)) {}

    // The reply document to a request document. journalLine: "<object> <sales order> <line>".
    std::string Handle(const std::string& request, std::string& journalLine);

private:
    // Whether a sales order of some book has the line (each back end counts its
    // own sales order numbers, so one number may stand in several books).
    bool Knows(const std::string& salesOrder, int line);
    void ReloadIfChanged();
    static const int* Rule(const std::map<std::string, int>& rules, int line);

    std::vector<std::filesystem::path> books_;
    BoiPolicy policy_;
    std::mutex mutex_;
    std::map<std::filesystem::path, std::map<std::string, BookEntry>> entries_;  // per book
    std::map<std::filesystem::path, std::filesystem::file_time_type> loaded_;
};

// Appends sales orders to a book.
void AppendToBook(const std::filesystem::path& book,
                  const std::vector<std::pair<std::string, BookEntry>>& salesOrders);

// The lines of every order of an export file's content: EDI LIN records, or
// the XML document's Orderline elements (numbered from 1 in their order). The
// freight line is the one whose part number is freightPart.
std::map<std::string, BookEntry> OrderLinesOf(const std::string& content, const std::string& freightPart);

}  // namespace erpsim
