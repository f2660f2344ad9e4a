#include "run_program.h"

#include <sys/wait.h>

#include <cstdio>

#include "test_db.h"

namespace testing_support {

std::string Quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Outcome RunProgram(const std::string& program, const std::string& arguments) {
    Outcome result;
    FILE* pipe = popen((Quoted(program) + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Outcome InitDemoInstallation(const std::string& backoffice, const std::filesystem::path& home, const TestDatabase& db) {
    std::string init = "init --demo --home " + Quoted(home.string());
    if (db.IsPostgres()) init += " --connection " + Quoted(db.ConnectionString());
    return RunProgram(backoffice, init);
}

std::string DemoConnectionString(const std::filesystem::path& home, const TestDatabase& db) {
    return db.IsPostgres() ? db.ConnectionString() : "Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string();
}

}  // namespace testing_support
