// `backoffice serve` under systemd: it tells the service manager on
// NOTIFY_SOCKET that it is ready once its port answers, pings the watchdog
// while it serves, and says when it stops.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "run_program.h"
#include "serve_process.h"
#include "test_db.h"

using namespace testing_support;

namespace {

// The next datagram on the socket, or "" after 10 s.
std::string Next(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return "";
    char buffer[512];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, n) : "";
}

TEST(ServeUnderSystemd, SaysReadyWhenItAnswersPingsTheWatchdogAndSaysStopping) {
    TempDir dir;
    auto home = dir.Path() / "shop";
    unsetenv("VENDALO_HOME");
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "init --home " + Quoted(home.string())).exitCode, 0);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = (dir.Path() / "notify").string();
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "200000", 1);
    {
        ServeProcess serve(home);
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        EXPECT_EQ(Next(fd), "READY=1");
        auto health = serve.Client("").Get("/health");
        ASSERT_TRUE(health);
        EXPECT_EQ(health->status, 200);
        EXPECT_EQ(Next(fd), "WATCHDOG=1");
        EXPECT_EQ(serve.Stop(), 0);
        std::string message;
        while ((message = Next(fd)) == "WATCHDOG=1") {
        }
        EXPECT_EQ(message, "STOPPING=1");
    }
    close(fd);
}

}  // namespace
