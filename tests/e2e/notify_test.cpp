// The daemon under a service manager: notifications on a real NOTIFY_SOCKET
// (a datagram socket this test reads) at readiness, around a reload, at
// shutdown, and the watchdog's keep-alive.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "harness.hpp"

namespace {

using e2e::Daemon;
using e2e::Sandbox;

class NotifySocket {
  public:
    explicit NotifySocket(const std::string &path) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        ok_ = fd_ && bind(fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    bool ok() const { return ok_; }
    // The next message holding want, skipping others; "" after timeout_ms.
    std::string wait_for(const std::string &want, int timeout_ms, std::string *skipped = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()).count();
            struct pollfd pfd = {fd_.get(), POLLIN, 0};
            if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
                return "";
            char buf[4096];
            ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
            if (n <= 0)
                continue;
            std::string msg(buf, static_cast<size_t>(n));
            if (msg.find(want) != std::string::npos)
                return msg;
            if (skipped != nullptr)
                *skipped += msg + "|";
        }
    }

  private:
    unique_fd fd_;
    bool ok_ = false;
};

bool port_listens(int port) {
    unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

TEST(Notify, ReadyReloadWatchdogAndStopping) {
    E2E_REQUIRE_ROOT();
    Sandbox sb;
    sb.add_script({.name = "one", .body = "exit 0"});
    NotifySocket ns(sb.root + "/notify.sock");
    ASSERT_TRUE(ns.ok());
    Daemon d(sb);
    {
        // Only the daemon runs under the service manager.
        setenv("NOTIFY_SOCKET", (sb.root + "/notify.sock").c_str(), 1);
        setenv("WATCHDOG_USEC", "400000", 1);
        e2e::scope_guard unset([] {
            unsetenv("NOTIFY_SOCKET");
            unsetenv("WATCHDOG_USEC");
        });
        ASSERT_TRUE(d.start());
    }

    std::string ready = ns.wait_for("READY=1", 15000);
    ASSERT_NE(ready, "") << d.log();
    // Ready means both listeners are bound already.
    EXPECT_TRUE(port_listens(5557));
    EXPECT_TRUE(port_listens(4562));
    EXPECT_NE(ready.find("STATUS=1 scripts loaded, 0 commands running, 0 requests queued"), std::string::npos)
        << ready;
    EXPECT_NE(ns.wait_for("WATCHDOG=1", 2000), "") << "fed at half the interval";

    d.signal(SIGHUP);
    std::string skipped;
    EXPECT_NE(ns.wait_for("RELOADING=1", 5000, &skipped), "") << skipped;
    std::string reloaded = ns.wait_for("READY=1", 5000);
    EXPECT_NE(reloaded.find("STATUS=Reloaded script configurations; 1 scripts loaded"), std::string::npos)
        << reloaded;

    d.signal(SIGTERM);
    EXPECT_NE(ns.wait_for("STOPPING=1", 10000), "");
    EXPECT_EQ(d.wait_exit(), 0) << d.log();
}

} // namespace
