// backoffice: the command-line host of the order back office.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "data/ado.h"
#include "register_all.h"

namespace {

const char* kUsage =
    "Usage: backoffice <command> [options]\n"
    "\n"
    "Commands:\n"
    "  demo [--home DIR]   show the data layer at work on an embedded database under DIR\n"
    "  help                show this text\n";

int Demo(const std::filesystem::path& home) {
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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    RegisterAllComponents();
    std::filesystem::path home = "var/demo";
    for (size_t i = 1; i + 1 < args.size(); ++i)
        if (args[i] == "--home") home = args[i + 1];
    try {
        if (args[0] == "demo") return Demo(home);
    } catch (const std::exception& e) {
        std::cerr << "backoffice: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "backoffice: unknown command '" << args[0] << "'\n" << kUsage;
    return 2;
}
