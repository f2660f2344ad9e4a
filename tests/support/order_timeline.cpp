#include "order_timeline.h"

#include <gtest/gtest.h>

#include <optional>

namespace testing_support {

std::map<std::string, std::vector<std::string>> ExpectEveryStatusHasItsEvent(ado::Connection& connection) {
    std::map<std::string, std::vector<std::string>> timelines;
    // the status each row's timeline has reached, by order and line (-1: the header)
    std::map<std::pair<std::string, int32_t>, int32_t> reached;
    std::map<std::string, int32_t> lastSeq;
    auto events = connection.Execute(
        "SELECT ORDERID, SEQ, LINENR, STATUSBEFORE, STATUSAFTER, WHAT FROM ORDEREVENT ORDER BY ORDERID, SEQ");
    for (; !events->Eof(); events->MoveNext()) {
        std::string id = events->Fields(0).Value().ToString();
        int32_t seq = events->Fields(1).Value().ToLong();
        ole::Variant line = events->Fields(2).Value();
        std::pair<std::string, int32_t> row{id, line.IsNull() ? -1 : line.ToLong()};
        ole::Variant before = events->Fields(3).Value();
        std::string what = events->Fields(5).Value().ToString();
        std::string where = id + (line.IsNull() ? " order" : " line " + line.ToString()) + " event " + std::to_string(seq);
        EXPECT_EQ(seq, lastSeq[id] + 1) << where;
        lastSeq[id] = seq;
        auto known = reached.find(row);
        if (known == reached.end())
            EXPECT_TRUE(before.IsNull()) << where << " (" << what << ") follows no event of its row";
        else
            EXPECT_TRUE(!before.IsNull() && before.ToLong() == known->second)
                << where << " (" << what << ") starts from another status than its row's last event left";
        reached[row] = events->Fields(4).Value().ToLong();
        timelines[id].push_back((line.IsNull() ? "order: " : "line " + line.ToString() + ": ") + what);
    }
    auto check = [&](const char* sql, bool lines) {
        auto rows = connection.Execute(sql);
        for (; !rows->Eof(); rows->MoveNext()) {
            std::string id = rows->Fields(0).Value().ToString();
            int32_t line = lines ? rows->Fields(1).Value().ToLong() : -1;
            int32_t status = rows->Fields(lines ? 2 : 1).Value().ToLong();
            auto known = reached.find({id, line});
            std::string where = id + (lines ? " line " + std::to_string(line) : " order");
            if (known == reached.end())
                ADD_FAILURE() << where << " holds status " << status << " without an event";
            else
                EXPECT_EQ(known->second, status) << where << ": its last event names another status";
        }
    };
    check("SELECT ORDERID, ORDERSTATUS FROM ORDERHEADER", false);
    check("SELECT ORDERID, LINENR, LINESTATUS FROM ORDERLINE", true);
    return timelines;
}

}  // namespace testing_support
