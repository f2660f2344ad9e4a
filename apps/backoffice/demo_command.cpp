// `backoffice demo`: the data layer at work on an embedded database.
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "data/ado.h"

namespace backoffice {

int RunDemo(const CommandLine& line) {
    std::filesystem::path home = HomeFolder(line, "var/demo");
    std::filesystem::create_directories(home / "data");
    std::string file = (home / "data" / "demo.db").string();
    std::filesystem::remove(file);
    auto c = std::make_shared<ado::Connection>();
    c->Open("Provider=SQLite;Data Source=" + file + ";Mode=Create");
    c->ExecuteScript("CREATE TABLE ITEMS (ID INTEGER PRIMARY KEY, NAME VARCHAR(40), PRICE NUMERIC(19,4))");
    auto rs = std::make_shared<ado::Recordset>();
    rs->CursorLocation = ado::adUseClient;
    rs->Open("SELECT * FROM ITEMS", c, ado::adOpenStatic, ado::adLockBatchOptimistic);
    const char* names[] = {"Bolt M8", "Washer 8 mm", "O'Ring seal"};
    for (int i = 0; i < 3; ++i) {
        rs->AddNew();
        rs->Fields("ID") = i + 1;
        rs->Fields("NAME") = names[i];
        rs->Fields("PRICE") = 0.25 * (i + 1);
    }
    c->BeginTrans();
    rs->UpdateBatch();
    c->CommitTrans();
    auto back = c->Execute("SELECT ID, NAME, PRICE FROM ITEMS ORDER BY ID");
    std::cout << "Embedded database: " << file << "\n";
    for (; !back->Eof(); back->MoveNext())
        std::cout << "  " << back->Fields("ID").Value().ToString() << "  " << back->Fields("NAME").Value().ToString()
                  << "  " << back->Fields("PRICE").Value().ToString() << "\n";
    c->Close();
    return 0;
}

}  // namespace backoffice
