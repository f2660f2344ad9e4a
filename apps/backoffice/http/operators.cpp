#include "http/operators.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/automation/error.h"
#include "platform/log/log.h"
#include "platform/os/random_bytes.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace backoffice::http {

namespace {

using ole::Variant;

constexpr const char* kLabel = "backoffice operators";

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

bool ValidOperatorName(const std::string& name) {
    if (name.empty() || name.size() > 100 || name == kSharedOperatorName) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return name.front() != ' ' && name.back() != ' ';
}

std::string AddOperator(const std::string& name) {
    if (!ValidOperatorName(name))
        ole::Raise(ole::err::InvalidProcedureCall,
                   "An operator's name is 1 to 100 printable characters, without spaces at its ends, and not \"" +
                       std::string(kSharedOperatorName) + "\"",
                   kLabel);
    unsigned char bytes[32];
    if (!os::FillRandom(bytes, sizeof bytes))
        ole::Raise(ole::err::DeviceIOError, "The kernel gives no random bytes for the key", kLabel);
    std::string key = Hex(bytes, sizeof bytes);
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    int32_t inserted = 0;
    c->Execute("INSERT INTO OPERATOR (NAME, KEYHASH, CREATED) VALUES (?, ?, ?) ON CONFLICT DO NOTHING", &inserted, -1,
               {Variant(name), Variant(os::Sha256Hex(key)), Variant(Sls_EventTimeNow())});
    if (inserted != 1)
        ole::Raise(ole::err::InvalidProcedureCall,
                   "There is an operator " + name + " already (a removed operator's name is not given again)", kLabel);
    return key;
}

bool RemoveOperator(const std::string& name) {
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    int32_t changed = 0;
    c->Execute("UPDATE OPERATOR SET REMOVED = ? WHERE NAME = ? AND REMOVED IS NULL", &changed, -1,
               {Variant(Sls_EventTimeNow()), Variant(name)});
    return changed == 1;
}

std::vector<OperatorRecord> ListOperators() {
    std::vector<OperatorRecord> list;
    for (auto rs = Sls_GetDisconnectedRecordset("SELECT NAME, CREATED, REMOVED FROM OPERATOR ORDER BY NAME",
                                                Sls_ConnectionString());
         !rs->Eof(); rs->MoveNext()) {
        OperatorRecord record{rs->Fields("NAME").Value().Text(), rs->Fields("CREATED").Value().ToDate(), std::nullopt};
        if (Variant removed = rs->Fields("REMOVED").Value(); !removed.IsNull()) record.removed = removed.ToDate();
        list.push_back(std::move(record));
    }
    return list;
}

std::string OperatorOfKey(const std::string& key) {
    if (key.size() != 64) return "";  // every personal key has 64 digits: nothing else is looked up
    auto rs = Sls_GetDisconnectedRecordset("SELECT NAME FROM OPERATOR WHERE KEYHASH = ? AND REMOVED IS NULL",
                                           Sls_ConnectionString(), {Variant(os::Sha256Hex(key))});
    return rs->Eof() ? "" : rs->Fields("NAME").Value().Text();
}

bool OperatorActive(const std::string& name) {
    if (name == kSharedOperatorName) return true;
    auto rs = Sls_GetDisconnectedRecordset("SELECT NAME FROM OPERATOR WHERE NAME = ? AND REMOVED IS NULL",
                                           Sls_ConnectionString(), {Variant(name)});
    return !rs->Eof();
}

void RecordActivity(const std::string& operatorName, const std::string& what, const std::string& detail,
                    const std::string& requestId) try {
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    c->Execute("INSERT INTO OPERATORACTIVITY (ACTIVITYID, ACTIVITYTIME, OPERATORNAME, WHAT, DETAIL, REQUESTID) "
               "VALUES (?, ?, ?, ?, ?, ?)",
               nullptr, -1,
               {Variant(Sls_CreateGUID()), Variant(Sls_EventTimeNow()), Variant(operatorName.substr(0, 100)), Variant(what),
                Variant(detail.substr(0, 500)), Variant(requestId)});
} catch (const std::exception& e) {
    try {
        ole::CreateObjectAs<qx::ILog>("Qxcore.Log")
            ->WriteEntry(kLabel, "The activity \"" + what + "\" of " + operatorName + " could not be recorded: " + e.what(),
                         qx::LogWarning);
    } catch (...) {
        // a failing log never hides the answer
    }
}

}  // namespace backoffice::http
