// The legacy gateway over real TCP on 127.0.0.1:4562.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::Daemon;
using e2e::Sandbox;
using e2e::ScriptSpec;

using e2e::legacy_call;
using e2e::legacy_connect;
using e2e::legacy_read;
using e2e::legacy_send;

std::string header(uint32_t length) { return std::string(reinterpret_cast<char *>(&length), 4); }

class Legacy : public ::testing::Test {
  protected:
    void SetUp() override {
        E2E_REQUIRE_ROOT();
        sb_ = std::make_unique<Sandbox>();
    }
    void start() {
        d_ = std::make_unique<Daemon>(*sb_, std::vector<std::string>{"-f", "-d", "Legacy"});
        ASSERT_TRUE(d_->start());
        ASSERT_TRUE(d_->wait_ready()) << d_->log();
    }
    void TearDown() override {
        if (d_) {
            EXPECT_EQ(d_->stop(), 0) << d_->log();
        }
    }
    // The daemon still answers both protocols.
    void expect_serving(const std::string &exe) {
        EXPECT_EQ(legacy_call(exe).status, 0) << d_->log();
        Client c;
        auto r = c.call("list", json_object());
        EXPECT_TRUE(r);
    }
    std::unique_ptr<Sandbox> sb_;
    std::unique_ptr<Daemon> d_;
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
    usleep(100000);
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
    std::thread trickler([&] {
        unique_fd fd = legacy_connect();
        std::string request = header(200) + std::string(200, 'x');
        for (size_t i = 0; i < request.size() && !stop.load(); ++i) {
            if (!legacy_send(fd.get(), request.substr(i, 1)))
                break;
            for (int t = 0; t < 10 && !stop.load(); ++t)
                usleep(100000);
        }
    });
    usleep(300000); // the trickler is connected and sending
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
    std::string exe = sb_->add_script({.name = "slow", .body = "sleep 3; echo slow"});
    start();
    auto before = std::chrono::steady_clock::now();
    e2e::LegacyAnswer answers[2];
    std::thread other([&] { answers[1] = legacy_call(exe, 10000); });
    answers[0] = legacy_call(exe, 10000);
    other.join();
    auto took = std::chrono::steady_clock::now() - before;
    for (const auto &a : answers) {
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.data, "slow\n");
    }
    // Served one after the other they would take at least 6 s.
    EXPECT_LT(took, std::chrono::milliseconds(5500));
}

} // namespace
