#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "test_db.h"

extern char** environ;

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

SimulatorProcess::SimulatorProcess(std::vector<std::string> args, const std::filesystem::path& folder,
                                   const std::string& name) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string out = (folder / "simulator.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the " + name + " " + args[0]);
    std::filesystem::path portFile = folder / "port";
    for (int i = 0; i < 400 && !std::filesystem::exists(portFile); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!std::filesystem::exists(portFile)) throw std::runtime_error("the " + name + " did not start: " + ReadFile(out));
    port_ = std::stoi(ReadFile(portFile));
}

SimulatorProcess::~SimulatorProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
}

}  // namespace testing_support
