// The legacy gateway over real TCP on 127.0.0.1:4562.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::Daemon;
using e2e::Sandbox;
using e2e::ScriptSpec;

unique_fd connect_legacy() {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4562);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return unique_fd();
    return fd;
}

std::string header(uint32_t length) { return std::string(reinterpret_cast<char *>(&length), 4); }

bool send_all(int fd, const std::string &bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Everything the daemon sends until it closes (bounded).
std::string read_answer(int fd, int timeout_ms = 30000) {
    std::string out;
    char buf[65536];
    for (;;) {
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

struct answer {
    int32_t status = -1;
    uint32_t length = 0;
    std::string data;
    bool complete = false;
};

answer parse(const std::string &raw) {
    answer a;
    if (raw.size() < 8)
        return a;
    std::memcpy(&a.status, raw.data(), 4);
    std::memcpy(&a.length, raw.data() + 4, 4);
    a.data = raw.substr(8);
    a.complete = a.data.size() == a.length;
    return a;
}

answer legacy(const std::string &command_line) {
    unique_fd fd = connect_legacy();
    if (!fd)
        return {};
    send_all(fd.get(), header(static_cast<uint32_t>(command_line.size())) + command_line);
    return parse(read_answer(fd.get()));
}

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
        EXPECT_EQ(legacy(exe).status, 0) << d_->log();
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
    unique_fd fd = connect_legacy();
    ASSERT_TRUE(fd);
    ASSERT_TRUE(send_all(fd.get(), header(static_cast<uint32_t>(exe.size())) + exe));
    std::string raw = read_answer(fd.get());
    EXPECT_EQ(raw, std::string("\0\0\0\0\3\0\0\0ok\n", 11));
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

    auto a = legacy(hello + " x");
    EXPECT_EQ(a.status, 3);
    EXPECT_EQ(a.length, 5u);
    EXPECT_EQ(a.data, "hello");
    EXPECT_EQ(legacy("/not/configured x").status, 102);
    EXPECT_EQ(legacy(stuck_exe).status, 100);
    auto w = legacy(immortal_exe);
    EXPECT_EQ(w.status, 104);
    EXPECT_EQ(w.length, 0u);
    // The unkillable process is left to the test's sandbox cgroup, which is removed at the end.
}

TEST_F(Legacy, LengthLimitsAndBufferGrowth) {
    std::string exe = sb_->add_script({.name = "args", .body = "echo $#"});
    start();
    for (uint32_t bad : {0u, 16385u}) {
        unique_fd fd = connect_legacy();
        send_all(fd.get(), header(bad));
        auto a = parse(read_answer(fd.get()));
        EXPECT_EQ(a.status, 103) << bad;
        EXPECT_EQ(a.length, 0u);
    }
    // 16384 bytes are accepted (one long argument), 3000 grow the buffer, 100 reuse it.
    for (size_t total : {16384u, 3000u, 100u}) {
        std::string line = exe + " " + std::string(total - exe.size() - 1, 'a');
        auto a = legacy(line);
        EXPECT_EQ(a.status, 0) << total;
        EXPECT_EQ(a.data, "1\n") << total;
    }
}

TEST_F(Legacy, SplittingRulesReachTheScript) {
    std::string exe = sb_->add_script({.name = "show", .body = "for a in \"$@\"; do printf '[%s]' \"$a\"; done"});
    start();
    EXPECT_EQ(legacy(exe + " a  b").data, "[a][][b]");
    EXPECT_EQ(legacy(exe + " \" \" x\ty").data, "[\" \"][x\ty]");
}

TEST_F(Legacy, HeaderInTwoPieces) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    unique_fd fd = connect_legacy();
    std::string h = header(static_cast<uint32_t>(exe.size()));
    send_all(fd.get(), h.substr(0, 2));
    usleep(100000);
    send_all(fd.get(), h.substr(2) + exe);
    auto a = parse(read_answer(fd.get()));
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, "ok\n");
}

TEST_F(Legacy, MisbehavingClientsNeverStopTheDaemon) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    {
        unique_fd fd = connect_legacy(); // connects and closes at once
    }
    EXPECT_TRUE(d_->wait_for_log("No header data from tuvo client"));
    expect_serving(exe);
    {
        unique_fd fd = connect_legacy(); // silent for longer than the 3 s limit
        EXPECT_EQ(read_answer(fd.get(), 6000), "");
    }
    EXPECT_TRUE(d_->wait_for_log("Unexpected return from header poll"));
    expect_serving(exe);
    {
        unique_fd fd = connect_legacy(); // header, then silence
        send_all(fd.get(), header(50));
        EXPECT_EQ(read_answer(fd.get(), 6000), "");
    }
    EXPECT_TRUE(d_->wait_for_log("Data poll failed for tuvo request"));
    expect_serving(exe);
    {
        unique_fd fd = connect_legacy(); // announces more than it sends, then closes
        send_all(fd.get(), header(100) + "abc");
    }
    expect_serving(exe);
    {
        unique_fd fd = connect_legacy(); // asks, and goes away before the answer
        std::string slow = exe;
        send_all(fd.get(), header(static_cast<uint32_t>(slow.size())) + slow);
        struct linger lg {1, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    expect_serving(exe);
}

TEST_F(Legacy, SignalsWhileWaitingInAccept) {
    std::string exe = sb_->add_script({.name = "ok", .body = "echo ok"});
    start();
    std::string added = sb_->add_script({.name = "added", .body = "echo added"});
    EXPECT_EQ(legacy(added).status, 102);
    d_->signal(SIGHUP);
    ASSERT_TRUE(d_->wait_for_log("Re-loaded script configuraton"));
    EXPECT_EQ(legacy(added).data, "added\n");
    d_->signal(SIGTERM);
    EXPECT_EQ(d_->wait_exit(), 0);
    d_.reset();
}

} // namespace
