// The network edge driven by real peers, and by hostile ones: the attacks
// each bound exists for.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "edge_fixture.hpp"

namespace edge_test {
namespace {

// A cleartext peer on this host is named by its socket's owner.
std::string local_me() { return "local:uid=" + std::to_string(getuid()); }

using namespace std::chrono_literals;

std::string run_tool(const std::string &cmd) {
    std::string out;
    FILE *p = popen(("timeout 20 " + cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

TEST_F(EdgeTest, ServesExistingPeersWithTheirAddressAsIdentity) {
    start(false, 2);
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            nn_client cl(port_);
            for (int i = 0; i < 25; ++i) {
                std::string body = "c" + std::to_string(c) + "-" + std::to_string(i);
                if (cl.call(body) == local_me() + "|" + body)
                    ++good;
            }
        });
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(good, 100);

    std::string url = "tcp://127.0.0.1:" + std::to_string(port_);
    EXPECT_EQ(run_tool("nanocat --req --connect " + url + " --recv-timeout 10 --raw --data nanocat"),
              local_me() + "|nanocat");
    if (std::system("command -v nngcat >/dev/null 2>&1") == 0) {
        EXPECT_EQ(run_tool("nngcat --req --dial " + url + " --recv-timeout 10 --raw --data nngcat"),
                  local_me() + "|nngcat");
    }
}

TEST_F(EdgeTest, ListensOnIPv4LiteralsOnly) {
    edge::server s(lim_);
    std::string err;
    for (const char *bad : {"::", "::1", "localhost", "127.0.0.1.5", ""})
        EXPECT_FALSE(s.listen(bad, 0, nullptr, nullptr, &err)) << bad;
    uint16_t port = 0;
    EXPECT_TRUE(s.listen("127.0.0.1", 0, nullptr, &port, &err)) << err;
    EXPECT_NE(port, 0);
}

TEST_F(EdgeTest, ConnectionsBeyondTheCapsAreClosedAtAccept) {
    lim_.max_connections = 3;
    lim_.max_connections_per_address = 2;
    start();
    unique_fd a1 = tcp_connect(port_), a2 = tcp_connect(port_);
    ASSERT_TRUE(isolation::wait_until([&] { return counts().open == 2; }, 10000));
    unique_fd a3 = tcp_connect(port_); // third from 127.0.0.1
    EXPECT_TRUE(closed_by_peer(a3.get(), 10000));
    unique_fd b1 = tcp_connect(port_, "127.0.0.2");
    ASSERT_TRUE(isolation::wait_until([&] { return counts().open == 3; }, 10000));
    unique_fd c1 = tcp_connect(port_, "127.0.0.3"); // over the total
    EXPECT_TRUE(closed_by_peer(c1.get(), 10000));
    EXPECT_EQ(counts().refused_at_cap, 2u);

    a1.reset(); // room again
    ASSERT_TRUE(isolation::wait_until([&] { return counts().open == 2; }, 10000));
    nn_client cl(port_);
    EXPECT_EQ(cl.call("x"), local_me() + "|x");
}

TEST_F(EdgeTest, HandshakeDeadlineClosesSilentAndHalfOpenPeers) {
    lim_.handshake_timeout = 1s;
    lim_.max_connections_per_address = 200;
    start(true);
    nn_client served(port_);
    ASSERT_TRUE(served.call("warm")); // the client's own descriptors exist before the baseline
    int baseline = open_fds();
    std::vector<unique_fd> peers;
    for (int i = 0; i < 30; ++i) {
        peers.push_back(tcp_connect(port_));                            // says nothing
        peers.push_back(tcp_connect(tls_port_));                        // no ClientHello
        peers.push_back(tcp_connect(port_));
        ASSERT_TRUE(send_all(peers.back().get(), req_header().substr(0, 4))); // half a header
    }
    EXPECT_EQ(served.call("meanwhile"), local_me() + "|meanwhile");
    for (auto &p : peers)
        EXPECT_TRUE(closed_by_peer(p.get(), 10000));
    EXPECT_EQ(counts().closed_by_deadline, 90u);
    peers.clear();
    EXPECT_TRUE(isolation::wait_until([&] { return counts().open == 1 && open_fds() == baseline; }, 10000))
        << open_fds() << " descriptors, " << baseline << " before";
}

TEST_F(EdgeTest, IdleDeadlineSparesConnectionsWithWorkInHand) {
    lim_.idle_timeout = 1s;
    std::atomic<bool> taken{false};
    handler_ = [&](edge::request &r) {
        taken = true;
        // Holds the request until an idle peer that arrived later was closed.
        isolation::wait_until([&] { return counts().closed_by_deadline >= 1; }, 20000);
        r.token.reply("done");
    };
    start();
    std::optional<std::string> reply;
    std::thread busy([&] {
        nn_client cl(port_, 20000);
        reply = cl.call("slow");
    });
    ASSERT_TRUE(isolation::wait_until([&] { return taken.load(); }, 10000));
    unique_fd idle = tcp_connect(port_);
    ASSERT_TRUE(send_all(idle.get(), req_header()));
    EXPECT_TRUE(closed_by_peer(idle.get(), 10000));
    busy.join();
    EXPECT_EQ(reply, "done");
    EXPECT_EQ(counts().closed_by_deadline, 1u);
}

TEST_F(EdgeTest, WrongHeadersAndOversizedMessagesClose) {
    lim_.max_message = 1000;
    start();
    spwire::header rep = spwire::make_header(spwire::PROTO_REP);
    unique_fd wrong = tcp_connect(port_);
    ASSERT_TRUE(send_all(wrong.get(), std::string(reinterpret_cast<const char *>(rep.data()), 8)));
    EXPECT_TRUE(closed_by_peer(wrong.get(), 10000));
    unique_fd big = tcp_connect(port_);
    ASSERT_TRUE(send_all(big.get(), req_header() + spwire::frame_request(0x80000001u, std::string(997, 'x'))));
    EXPECT_TRUE(closed_by_peer(big.get(), 10000));
    // A message with no backtrace end is dropped; the connection stays.
    unique_fd odd = tcp_connect(port_);
    ASSERT_TRUE(send_all(odd.get(), req_header() + spwire::frame(std::string(8, '\0'))));
    nn_client cl(port_);
    EXPECT_EQ(cl.call(std::string(996, 'y')), local_me() + "|" + std::string(996, 'y'));
    EXPECT_EQ(counts().open, 2u);
}

// A peer pipelining requests without reading its replies fills its own
// write queue and is no longer read; others keep being answered.
TEST_F(EdgeTest, APeerThatNeverReadsHoldsNoOneElse) {
    lim_.idle_timeout = 2s;
    std::atomic<int> from_pipeliner{0};
    handler_ = [&](edge::request &r) {
        if (r.body.starts_with("pipe")) {
            ++from_pipeliner;
            r.token.reply(std::string(256 * 1024, 'r'));
        } else {
            r.token.reply(r.identity + "|" + r.body);
        }
    };
    start(false, 2);
    unique_fd pipe = tcp_connect(port_);
    ASSERT_TRUE(send_all(pipe.get(), req_header()));
    int sent = 0;
    std::string req = spwire::frame_request(0x80000001u, "pipe" + std::string(1020, 'p'));
    for (; sent < 2000; ++sent)
        if (send(pipe.get(), req.data(), req.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
            break;
    nn_client cl(port_);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(cl.call("other" + std::to_string(i)), local_me() + "|other" + std::to_string(i));
    // Its replies do not move, so the idle deadline closes it; it was not
    // read to the end.
    EXPECT_TRUE(isolation::wait_until([&] { return counts().closed_by_deadline >= 1; }, 20000));
    EXPECT_LT(from_pipeliner, sent);
    EXPECT_TRUE(closed_by_peer(pipe.get(), 10000));
    EXPECT_EQ(cl.call("after"), local_me() + "|after");
}

// The queue bounds stop reading across connections; a fast-path request
// is still read and answered.
TEST_F(EdgeTest, QueueBoundsStopReadingButTheFastPathAnswers) {
    for (bool by_bytes : {false, true}) {
        SCOPED_TRACE(by_bytes ? "bytes" : "requests");
        lim_.max_queued_requests = by_bytes ? 100 : 2;
        lim_.max_queued_bytes = by_bytes ? 20000 : 64 << 20;
        fast_ = [this](const std::string &, std::string_view body) -> std::optional<std::string> {
            if (body != "status")
                return std::nullopt;
            return "queued=" + std::to_string(srv_->snapshot().queued_requests);
        };
        start(false, 0);
        std::vector<std::thread> clients;
        std::atomic<int> answered{0};
        // Four requests of 8000 bytes; by count also a small one, which is
        // read (it could be a fast-path request) but waits for room.
        int n = by_bytes ? 4 : 5;
        for (int c = 0; c < n; ++c)
            clients.emplace_back([&, c] {
                nn_client cl(port_, 30000);
                std::string body = c == 4 ? "small" : std::string(8000, static_cast<char>('a' + c));
                if (cl.call(body) == local_me() + "|" + body)
                    ++answered;
            });
        EXPECT_TRUE(isolation::wait_until([&] { return counts().queued_requests == 2; }, 10000));
        nn_client status(port_);
        EXPECT_EQ(status.call("status"), "queued=2");
        EXPECT_EQ(counts().queued_requests, 2u);
        EXPECT_LE(counts().queued_bytes, 20000u);
        add_workers(1);
        for (auto &t : clients)
            t.join();
        EXPECT_EQ(answered, n);
        stop();
        run_ = true;
    }
}

TEST_F(EdgeTest, AbruptTlsClosesFreeEverything) {
    start(true);
    nn_client warm(port_);
    ASSERT_TRUE(warm.call("warm"));
    int baseline = open_fds();
    for (int i = 0; i < 100; ++i) {
        tls_client c(certs_, "alice");
        ASSERT_TRUE(c.connect(tls_port_));
        if (i % 2 == 0)
            c.write(req_header() + spwire::frame_request(0x80000001u, "then gone"));
        c.abort();
    }
    EXPECT_TRUE(isolation::wait_until([&] { return counts().open == 1 && open_fds() == baseline; }, 10000))
        << open_fds() << " descriptors, " << baseline << " before";
}

// The identity belongs to the connection: a request that arrives together
// with the end of its TLS session still runs as the certificate's CN.
TEST_F(EdgeTest, RequestAndCloseNotifyInOneWriteKeepTheTlsIdentity) {
    std::mutex mu;
    std::vector<std::pair<std::string, std::string>> seen;
    handler_ = [&](edge::request &r) {
        std::lock_guard<std::mutex> lock(mu);
        seen.emplace_back(r.identity, r.body);
        r.token.reply("late"); // the connection is gone: dropped
    };
    start(true);
    for (int i = 0; i < 50; ++i) {
        for (const char *who : {"alice", "bob"}) {
            tls_client c(certs_, who);
            ASSERT_TRUE(c.connect(tls_port_));
            ASSERT_TRUE(c.request_and_close_notify(who, 0x80000001u));
        }
    }
    ASSERT_TRUE(isolation::wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(mu);
            return seen.size() == 100;
        },
        20000));
    for (auto &[identity, body] : seen)
        EXPECT_EQ(identity, "tls:" + body);
    EXPECT_TRUE(isolation::wait_until([&] { return counts().open == 0; }, 10000));
}

TEST_F(EdgeTest, StopFlushesRepliesAndClosesEverything) {
    std::atomic<bool> taken{false};
    handler_ = [&](edge::request &r) {
        taken = true;
        wait_gate();
        r.token.reply("flushed");
    };
    lim_.max_connections_per_address = 200;
    start();
    std::vector<unique_fd> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(tcp_connect(port_));
        send_all(idle.back().get(), req_header());
    }
    std::optional<std::string> reply;
    std::thread held([&] {
        nn_client cl(port_, 20000);
        reply = cl.call("held");
    });
    EXPECT_TRUE(isolation::wait_until([&] { return counts().open == 101 && taken; }, 10000));
    halt_workers();
    srv_->finish(std::chrono::seconds(5));
    held.join();
    EXPECT_EQ(reply, "flushed");
    for (auto &fd : idle)
        EXPECT_TRUE(closed_by_peer(fd.get(), 1000));
    EXPECT_EQ(counts().open, 0u);
    srv_.reset();
}

} // namespace
} // namespace edge_test
