// The legacy gateway over real TCP on 127.0.0.1:4562.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::ScriptSpec;

using e2e::legacy_call;
using e2e::legacy_connect;
using e2e::legacy_read;
using e2e::legacy_send;

std::string header(uint32_t length) { return std::string(reinterpret_cast<char *>(&length), 4); }

// The send and receive queues of the loopback TCP socket from local_port to
// remote_port, from the kernel's table; none when there is no such socket.
std::optional<std::pair<long, long>> tcp_queues(uint16_t local_port, uint16_t remote_port) {
    char local[8], remote[8];
    std::snprintf(local, sizeof local, ":%04X", local_port);
    std::snprintf(remote, sizeof remote, ":%04X", remote_port);
    std::istringstream table(e2e::read_file("/proc/net/tcp"));
    std::string line;
    std::getline(table, line); // column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, from, to, state, queues;
        if (!(fields >> slot >> from >> to >> state >> queues) || !from.ends_with(local) || !to.ends_with(remote))
            continue;
        size_t colon = queues.find(':');
        if (colon == std::string::npos)
            continue;
        return std::pair{std::stol(queues.substr(0, colon), nullptr, 16),
                         std::stol(queues.substr(colon + 1), nullptr, 16)};
    }
    return std::nullopt;
}

// True once the daemon has read all that was sent on the connection whose
// client end is fd: nothing is left unacknowledged at the client's end nor
// unread at the daemon's.
bool daemon_read_all(int fd) {
    struct sockaddr_in me {};
    socklen_t len = sizeof me;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&me), &len) != 0)
        return false;
    uint16_t port = ntohs(me.sin_port);
    auto client = tcp_queues(port, 4562), daemon = tcp_queues(4562, port);
    return client && daemon && client->first == 0 && daemon->second == 0;
}

class Legacy : public e2e::DaemonTest {
  protected:
    void start() { DaemonTest::start({"-f", "-d", "Legacy"}); }
    // The daemon still answers both protocols.
    void expect_serving(const std::string &exe) {
        EXPECT_EQ(legacy_call(exe).status, 0) << d_->log();
        Client c;
        auto r = c.call("list", json_object());
        EXPECT_TRUE(r);
    }
};

TEST_F(Legacy, ExampleExchangeByteForByte) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok; echo not-sent >&2; exit 0"});
    start();
    unique_fd fd = legacy_connect();
    ASSERT_TRUE(fd);
    ASSERT_TRUE(legacy_send(fd.get(), header(static_cast<uint32_t>(exe.size())) + exe));
    auto a = legacy_read(fd.get());
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.length, 3u);
    EXPECT_EQ(a.data, "ok\n");
    EXPECT_TRUE(a.complete);
}

TEST_F(Legacy, StatusTable) {
    std::string hello = sb_->add_script({.name = "hello", .body = "printf hello; echo err >&2; exit 3"});
    ScriptSpec stuck{.name = "stuck", .body = "exec sleep 60", .timeout = 1};
    stuck.kill_signals = R"([{"signal": 9, "timeout": 2}])";
    std::string stuck_exe = sb_->add_script(stuck);
    ScriptSpec immortal{.name = "immortal", .body = "exec sleep 60", .timeout = 1};
    immortal.kill_signals = R"([{"signal": 0, "timeout": 1}])";
    std::string immortal_exe = sb_->add_script(immortal);
    start();

    auto a = legacy_call(hello + " x");
    EXPECT_EQ(a.status, 3);
    EXPECT_EQ(a.length, 5u);
    EXPECT_EQ(a.data, "hello");
    EXPECT_EQ(legacy_call("/not/configured x").status, 102);
    EXPECT_EQ(legacy_call(stuck_exe).status, 100);
    auto w = legacy_call(immortal_exe);
    EXPECT_EQ(w.status, 104);
    EXPECT_EQ(w.length, 0u);
    // The unkillable process is left to the test's sandbox cgroup, which is removed at the end.
}

TEST_F(Legacy, LengthLimitsAndBufferGrowth) {
    std::string exe = sb_->add_script({.name = "args", .body = "echo $#"});
    start();
    for (uint32_t bad : {0u, 16385u}) {
        unique_fd fd = legacy_connect();
        legacy_send(fd.get(), header(bad));
        auto a = legacy_read(fd.get());
        EXPECT_EQ(a.status, 103) << bad;
        EXPECT_EQ(a.length, 0u);
    }
    // 16384 bytes are accepted (one long argument), 3000 grow the buffer, 100 reuse it.
    for (size_t total : {16384u, 3000u, 100u}) {
        std::string line = exe + " " + std::string(total - exe.size() - 1, 'a');
        auto a = legacy_call(line);
        EXPECT_EQ(a.status, 0) << total;
        EXPECT_EQ(a.data, "1\n") << total;
    }
}

TEST_F(Legacy, SplittingRulesReachTheScript) {
    std::string exe = sb_->add_script({.name = "show", .body = "for a in \"$@\"; do printf '[%s]' \"$a\"; done"});
    start();
    EXPECT_EQ(legacy_call(exe + " a  b").data, "[a][][b]");
    EXPECT_EQ(legacy_call(exe + " \" \" x\ty").data, "[\" \"][x\ty]");
}

TEST_F(Legacy, HeaderInTwoPieces) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    unique_fd fd = legacy_connect();
    std::string h = header(static_cast<uint32_t>(exe.size()));
    legacy_send(fd.get(), h.substr(0, 2));
    // The daemon reads the first piece on its own before the rest is sent.
    EXPECT_TRUE(e2e::wait_until([&] { return daemon_read_all(fd.get()); }, 10000));
    legacy_send(fd.get(), h.substr(2) + exe);
    auto a = legacy_read(fd.get());
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, "ok\n");
}

TEST_F(Legacy, MisbehavingClientsNeverStopTheDaemon) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    {
        unique_fd fd = legacy_connect(); // connects and closes at once
    }
    EXPECT_TRUE(d_->wait_for_log("No header data from tuvo client"));
    expect_serving(exe);
    {
        unique_fd fd = legacy_connect(); // silent for longer than the 3 s limit
        EXPECT_EQ(legacy_read(fd.get(), 6000).status, -1);
    }
    EXPECT_TRUE(d_->wait_for_log("Unexpected return from header poll"));
    expect_serving(exe);
    {
        unique_fd fd = legacy_connect(); // header, then silence
        legacy_send(fd.get(), header(50));
        EXPECT_EQ(legacy_read(fd.get(), 6000).status, -1);
    }
    EXPECT_TRUE(d_->wait_for_log("Data poll failed for tuvo request"));
    expect_serving(exe);
    {
        unique_fd fd = legacy_connect(); // announces more than it sends, then closes
        legacy_send(fd.get(), header(100) + "abc");
    }
    expect_serving(exe);
    {
        unique_fd fd = legacy_connect(); // asks, and goes away before the answer
        std::string slow = exe;
        legacy_send(fd.get(), header(static_cast<uint32_t>(slow.size())) + slow);
        struct linger lg {1, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    expect_serving(exe);
}

TEST_F(Legacy, SignalsWhileWaitingInAccept) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    std::string added = sb_->add_script({.name = "added", .body = "echo added"});
    EXPECT_EQ(legacy_call(added).status, 102);
    d_->signal(SIGHUP);
    ASSERT_TRUE(d_->wait_for_log("Re-loaded script configuraton"));
    EXPECT_EQ(legacy_call(added).data, "added\n");
    d_->signal(SIGTERM);
    EXPECT_EQ(d_->wait_exit(), 0);
    d_.reset();
}

// A client trickling its request holds only its own connection: other
// legacy clients and JSON clients are served meanwhile, and SIGTERM still
// ends the daemon within seconds.
TEST_F(Legacy, TricklingClientHoldsNothingButItsOwnConnection) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    std::atomic<bool> stop{false};
    std::atomic<int> trickling_fd{-1};
    std::thread trickler([&] {
        unique_fd fd = legacy_connect();
        std::string request = header(200) + std::string(200, 'x');
        for (size_t i = 0; i < request.size() && !stop.load(); ++i) {
            if (!legacy_send(fd.get(), request.substr(i, 1)))
                break;
            trickling_fd = fd.get();
            for (int t = 0; t < 10 && !stop.load(); ++t)
                usleep(100000);
        }
    });
    // The daemon holds the trickler's connection and has read its first byte.
    EXPECT_TRUE(e2e::wait_until([&] { return trickling_fd >= 0 && daemon_read_all(trickling_fd); }, 10000));
    for (int i = 0; i < 3; ++i) {
        auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(legacy_call(exe, 2000).data, "ok\n");
        Client c("tcp://127.0.0.1:5557", 2000);
        EXPECT_TRUE(c.call("list", json_object()));
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    }
    auto before = std::chrono::steady_clock::now();
    d_->signal(SIGTERM);
    EXPECT_EQ(d_->wait_exit(10000), 0) << d_->log();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    stop.store(true);
    trickler.join();
    d_.reset();
}

// A large answer to a slow reader goes out whole, resumed after every
// partial write, while signals keep arriving.
TEST_F(Legacy, LargeAnswerToASlowReaderArrivesWholeDespiteSignals) {
    std::string exe = sb_->add_script({.name = "big", .body = "head -c 1048576 /dev/zero | tr '\\0' x"});
    start();
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int small = 4096;
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(4562);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd.get(), reinterpret_cast<struct sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_TRUE(legacy_send(fd.get(), header(static_cast<uint32_t>(exe.size())) + exe));
    std::string raw;
    char buf[8192];
    for (int round = 0;; ++round) {
        struct pollfd p {fd.get(), POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
        if (round % 20 == 0)
            d_->signal(SIGHUP);
        usleep(500);
    }
    ASSERT_GE(raw.size(), 8u);
    uint32_t length = 0;
    memcpy(&length, raw.data() + 4, 4);
    EXPECT_EQ(length, 1048576u);
    EXPECT_EQ(raw.size(), 8u + 1048576u);
    EXPECT_EQ(raw.find_first_not_of('x', 8), std::string::npos);
}

// Legacy requests run at once, each on its own connection's thread.
TEST_F(Legacy, TwoRequestsOfASlowScriptAreAnsweredTogether) {
    std::string started = sb_->root + "/started", gate = sb_->root + "/gate";
    std::string exe = sb_->add_script(
        {.name = "slow",
         .body = "echo x >> " + started + "; while [ ! -e " + gate + " ]; do sleep 0.05; done; echo slow",
         .timeout = 60});
    start();
    e2e::LegacyAnswer answers[2];
    std::thread one([&] { answers[0] = legacy_call(exe, 60000); });
    std::thread other([&] { answers[1] = legacy_call(exe, 60000); });
    // Served one after the other, the second would not start while the first holds at the gate.
    EXPECT_TRUE(e2e::wait_until([&] { return e2e::read_file(started) == "x\nx\n"; }, 20000));
    sb_->write(gate, "");
    one.join();
    other.join();
    for (const auto &a : answers) {
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.data, "slow\n");
    }
}

} // namespace
