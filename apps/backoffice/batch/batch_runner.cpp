#include "batch/batch_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os/unique_fd.h"

extern char** environ;

namespace backoffice {

BatchRunner::~BatchRunner() {
    if (watcher_.joinable()) watcher_.join();  // a running batch is waited for, never left a zombie
}

bool BatchRunner::Start(const std::string& operatorName) {
    std::lock_guard lock(mutex_);
    if (status_.state == State::Running) {
        status_.output = "a batch is already running";
        return false;
    }
    if (watcher_.joinable()) watcher_.join();  // the previous run has ended
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        status_ = {State::Failed, std::string("cannot start the batch: ") + std::strerror(errno), -1};
        return true;
    }
    os::UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
    // the child must not keep the host's sockets (a listening port would outlive the host)
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);  // the host blocks SIGTERM in its threads; the batch must not
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::string program = "/proc/self/exe", home = home_.string(), who = operatorName;
    char* argv[] = {const_cast<char*>("backoffice"), const_cast<char*>("batch"), const_cast<char*>("--home"),
                    home.data(), const_cast<char*>("--operator"), who.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        status_ = {State::Failed, std::string("cannot start the batch: ") + std::strerror(rc), -1};
        return true;
    }
    writeEnd.Reset();
    status_ = {State::Running, "", -1};
    watcher_ = std::thread(&BatchRunner::Watch, this, pid, readEnd.Release());
    return true;
}

void BatchRunner::Watch(pid_t pid, int output) {
    os::UniqueFd in(output);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(in.Get(), buffer, sizeof buffer);
        if (n > 0) {
            if (text.size() < 64 * 1024) text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    if (WIFEXITED(status)) {
        int code = WEXITSTATUS(status);
        status_ = {code == 3 ? State::AlreadyRunning : code == 0 ? State::Finished : State::Failed, text, code};
    } else {
        status_ = {State::Failed, text + "\nthe batch ended with signal " + std::to_string(WTERMSIG(status)), -1};
    }
}

BatchRunner::Status BatchRunner::Current() const {
    std::lock_guard lock(mutex_);
    return status_;
}

}  // namespace backoffice
