// The log's journal target (LogTarget=journal): the fields of an entry, and
// what becomes of an entry where no journal listens.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/automation/component.h"
#include "platform/log/log.h"
#include "platform/log/journal_fields.h"
#include "test_installation.h"

namespace {

TEST(JournalLog, AReportIsOneFieldPerPartEachOnOneLineWithTheThreadsContext) {
    qx::LogRecord r;
    r.level = qx::LogWarning;
    r.source = "Ordexa\x1B[2J";
    r.label = "CCPayment.Run";
    r.number = static_cast<int32_t>(0x80040503u);
    r.description = "The refund amount is refused";
    r.info = "Order : 7\nforged";
    r.text = "first part\r\n   second part";
    qx::LogContext request(qx::LogField::Request, "r-17");
    qx::LogContext order(qx::LogField::Order, "ABC\n");
    EXPECT_EQ(qx::JournalFields(r), (std::vector<std::string>{
                                        "MESSAGE=[Ordexa\\x1B[2J] first part second part",
                                        "PRIORITY=4",
                                        "SYSLOG_IDENTIFIER=backoffice",
                                        "BACKOFFICE_LEVEL=warning",
                                        "BACKOFFICE_SOURCE=Ordexa\\x1B[2J",
                                        "BACKOFFICE_LABEL=CCPayment.Run",
                                        "BACKOFFICE_ERROR=0x80040503",
                                        "BACKOFFICE_DESCRIPTION=The refund amount is refused",
                                        "BACKOFFICE_INFO=Order : 7\\x0Aforged",
                                        "BACKOFFICE_REQUEST=r-17",
                                        "BACKOFFICE_ORDER=ABC\\x0A",
                                    }));
    r.level = qx::LogError;
    r.number = 0;
    r.info = r.description = "";
    auto fields = qx::JournalFields(r);
    EXPECT_EQ(fields[1], "PRIORITY=3");
    EXPECT_EQ(std::count_if(fields.begin(), fields.end(), [](const std::string& f) { return f.rfind("BACKOFFICE_ERROR=", 0) == 0; }), 0);
}

// The entry goes to the journal, never to the file; where no journal listens
// (a container without journald; libsystemd then reports success) it is
// counted lost, as a file that cannot be written would be.
TEST(JournalLog, AnEntryGoesToTheJournalOrIsCountedLost) {
    testing_support::TestInstallation inst("sqlite");
    inst.SetSetting("LOG", "LogTarget", "journal");
    qx::ReopenLogs();
    int64_t lost = qx::LostLogEntries();
    ole::CreateObjectAs<qx::ILog>("Qxcore.Log")->WriteEntry("JournalLog", "to the journal", qx::LogNotice);
    bool listening = std::filesystem::exists("/run/systemd/journal/socket");
    EXPECT_EQ(qx::LostLogEntries() - lost, listening ? 0 : 1);
    EXPECT_EQ(inst.LogText().find("to the journal"), std::string::npos);
    // a batch whose failures nobody would read does not start
    if (listening) EXPECT_NO_THROW(qx::CheckLogWritable());
    else EXPECT_THROW(qx::CheckLogWritable(), std::system_error);
}

}  // namespace
