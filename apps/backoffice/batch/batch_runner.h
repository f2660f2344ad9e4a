// Runs `backoffice batch` for the operator page as a child process of the
// host: the batch's own lock keeps two batches apart, and a batch that crashes
// ends only its own process. One child at a time per host; its output and exit
// code are kept for the page until the next run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace backoffice {

class BatchRunner {
public:
    enum class State { Idle, Running, Finished, AlreadyRunning, Failed };
    struct Status {
        State state = State::Idle;
        std::string output;  // what the batch printed (its summary), or why it could not start
        int exitCode = -1;
    };

    explicit BatchRunner(std::filesystem::path home) : home_(std::move(home)) {}
    ~BatchRunner();

    // Starts a batch unless this host's batch is still running; false then. The
    // run's BATCHRUN row names the operator who asked for it.
    bool Start(const std::string& operatorName);
    Status Current() const;

private:
    void Watch(pid_t pid, int output);

    std::filesystem::path home_;
    mutable std::mutex mutex_;
    Status status_;
    std::thread watcher_;
};

}  // namespace backoffice
