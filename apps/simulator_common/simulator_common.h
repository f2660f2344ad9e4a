// What the simulators of the outside systems (back end, card gateway,
// requisition broker) share: their command line on CLI11 and their serving on
// loopback. Like the simulators, this is no part of the back office and links
// nothing of it: an outside system keeps its own copy of what it shares with
// the system.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace simcommon {

// Parses the command line into `app`: 0 after printing the help (--help, or
// "help" as the command), 2 after a one-line message for a command line the
// program does not take, and -1 when the chosen command is to run. Without a
// command the help goes to standard output and the result is 2.
int ParseCommandLine(CLI::App& app, int argc, char** argv);

// The value of a "KEY<separator>NUMBER" option (PATH=CODE, LINE:ERROR); throws
// CLI::ValidationError for anything else.
std::pair<std::string, int> KeyAndNumber(const std::string& text, char separator);

// A loopback address: localhost, ::1 or 127.x.x.x.
bool IsLoopback(const std::string& host);

// Blocks SIGINT and SIGTERM in this thread and every thread started after it,
// and ignores SIGPIPE. Call it before the server starts its threads.
void BlockStopSignals();

// Threads that answer requests: a kept-alive connection holds one of them
// for as long as it stays open, so this is the number of clients (each call in
// flight of a stage that calls side by side, 64 at most) answered at once.
constexpr int kAnsweringThreads = 80;

// Lets the server answer up to kAnsweringThreads connections at once (the
// server library's own pool has a thread per core, at least eight).
void AnswerSideBySide(httplib::Server& server);

// Binds the server, writes the port to portFile (when given, through a
// temporary file renamed over it), prints banner(port) and serves until
// SIGINT or SIGTERM ends the process at once: journals are flushed line by
// line, and open keep-alive connections would hold a graceful stop. Returns 1
// after "<name>: cannot listen on HOST:PORT" when it cannot bind.
int ServeUntilStopped(httplib::Server& server, const std::string& name, const std::string& host, int port,
                      const std::string& portFile, const std::function<std::string(int)>& banner);

}  // namespace simcommon
