// The request/reply wire: bytes as existing peers send them, parsed in any
// split, and the bounds a hostile peer runs into.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <string>
#include <thread>

#include "edge_peers.hpp"
#include "spwire.hpp"

namespace {

using ev = spwire::reader::event;

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// A REQ peer's header, then one request "hello" with id 0x80000001.
const std::string captured = bytes({0, 'S', 'P', 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x80, 0, 0, 1}) + "hello";

struct parsed {
    bool header = false, closed = false;
    std::vector<std::string> messages;
};

// Feeds input in chunks of chunk bytes, accepting every length.
parsed run(spwire::reader &rd, const std::string &input, size_t chunk) {
    parsed out;
    for (size_t off = 0; off < input.size() && !out.closed;) {
        size_t n = std::min(chunk, input.size() - off);
        std::span<const uint8_t> in(reinterpret_cast<const uint8_t *>(input.data()) + off, n);
        while (!out.closed) {
            auto st = rd.feed(in);
            in = in.subspan(st.used);
            if (st.ev == ev::need_more)
                break;
            if (st.ev == ev::header_ok)
                out.header = true;
            else if (st.ev == ev::length)
                rd.accept_length();
            else if (st.ev == ev::message)
                out.messages.push_back(rd.take());
            else
                out.closed = true;
        }
        off += n;
    }
    return out;
}

TEST(Spwire, ParsesACapturedRequestInAnySplit) {
    for (size_t chunk : {1u, 3u, 8u, 9u, 100u}) {
        spwire::reader rd(spwire::PROTO_REQ, 1024);
        parsed p = run(rd, captured + captured.substr(8), chunk);
        ASSERT_TRUE(p.header) << chunk;
        ASSERT_FALSE(p.closed) << chunk;
        ASSERT_EQ(p.messages.size(), 2u) << chunk;
        EXPECT_EQ(p.messages[0], captured.substr(16));
        ASSERT_EQ(spwire::backtrace_size(p.messages[0]), 4u);
        EXPECT_EQ(p.messages[0].substr(4), "hello");
    }
}

TEST(Spwire, RefusesEveryOtherHeader) {
    for (std::string h : {bytes({0, 'S', 'P', 0, 0, 0x31, 0, 0}), bytes({0, 'S', 'P', 0, 0, 0x30, 0, 1}),
                          bytes({0, 'S', 'Q', 0, 0, 0x30, 0, 0}), std::string("GET / HTTP/1.1\r\n")}) {
        spwire::reader rd(spwire::PROTO_REQ, 1024);
        parsed p = run(rd, h + captured.substr(8), 1);
        EXPECT_FALSE(p.header);
        EXPECT_TRUE(p.closed);
        EXPECT_TRUE(p.messages.empty());
        // Nothing after a refusal is parsed.
        EXPECT_EQ(rd.feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(captured.data()), 8)).ev,
                  ev::bad_header);
    }
}

TEST(Spwire, LengthsBeyondTheLimitCloseAndClaimedLengthsReserveNothing) {
    std::string hdr = captured.substr(0, 8);
    std::string len9 = bytes({0, 0, 0, 0, 0, 0, 0, 9});
    spwire::reader at_limit(spwire::PROTO_REQ, 9);
    EXPECT_EQ(run(at_limit, hdr + len9 + "123456789", 4).messages.size(), 1u);
    spwire::reader over(spwire::PROTO_REQ, 8);
    EXPECT_TRUE(run(over, hdr + len9 + "123456789", 4).closed);

    // Unlimited: a peer claiming 2^62 bytes gets only what it sends buffered.
    spwire::reader unlimited(spwire::PROTO_REQ, spwire::UNLIMITED);
    std::string huge = bytes({0x40, 0, 0, 0, 0, 0, 0, 0});
    parsed p = run(unlimited, hdr + huge + std::string(1000, 'x'), 100);
    EXPECT_FALSE(p.closed);
    EXPECT_EQ(unlimited.length(), uint64_t{1} << 62);
    EXPECT_EQ(unlimited.buffered(), 1000u);
    EXPECT_LT(unlimited.take().capacity(), 1u << 20); // not ready: nothing handed out
}

TEST(Spwire, HeldLengthConsumesNothingUntilAccepted) {
    spwire::reader rd(spwire::PROTO_REQ, 1024);
    auto in = std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(captured.data()), captured.size());
    auto st = rd.feed(in);
    ASSERT_EQ(st.ev, ev::header_ok);
    in = in.subspan(st.used);
    st = rd.feed(in);
    ASSERT_EQ(st.ev, ev::length);
    in = in.subspan(st.used);
    EXPECT_EQ(rd.feed(in).ev, ev::length);
    EXPECT_EQ(rd.feed(in).used, 0u);
    rd.accept_length();
    st = rd.feed(in);
    EXPECT_EQ(st.ev, ev::message);
    EXPECT_EQ(st.used, 9u);
}

TEST(Spwire, BacktracesEndAtTheFirstMarkedWord) {
    EXPECT_EQ(spwire::backtrace_size(bytes({0, 0, 0, 7, 0x80, 0, 0, 2}) + "body"), 8u); // one device hop
    EXPECT_EQ(spwire::backtrace_size(bytes({0x80, 0, 0, 0})), 4u);                      // empty body
    EXPECT_FALSE(spwire::backtrace_size(bytes({0x80, 0, 0})));                          // short word
    EXPECT_FALSE(spwire::backtrace_size(std::string(64, '\0')));                        // no marker in 15 words
    EXPECT_EQ(spwire::backtrace_size(std::string(56, '\0') + bytes({0x80, 0, 0, 0})), 60u);
    EXPECT_FALSE(spwire::backtrace_size(std::string(60, '\0') + bytes({0x80, 0, 0, 0})));
}

TEST(Spwire, RequestIdsAndReplies) {
    spwire::request_ids ids(0x7fffffffu);
    EXPECT_EQ(ids.next(), 0xffffffffu);
    EXPECT_EQ(ids.next(), 0x80000000u); // the counter wraps, the marker stays
    std::string req = spwire::frame_request(0x80000005u, "{}");
    EXPECT_EQ(req, bytes({0, 0, 0, 0, 0, 0, 0, 6, 0x80, 0, 0, 5}) + "{}");
    std::string reply = req.substr(8);
    EXPECT_EQ(spwire::reply_body(reply, 0x80000005u), "{}");
    EXPECT_FALSE(spwire::reply_body(reply, 0x80000006u)); // a stale reply
    EXPECT_FALSE(spwire::reply_body("abc", 0x80000005u));
}

// What a real nanomsg REQ socket sends parses as the captured bytes do.
TEST(Spwire, ParsesALiveNanomsgRequest) {
    unique_fd lfd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(lfd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(lfd.get(), 1), 0);
    ASSERT_EQ(getsockname(lfd.get(), reinterpret_cast<sockaddr *>(&sa), &len), 0);

    int s = nn_socket(AF_SP, NN_REQ);
    ASSERT_GE(s, 0);
    std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    ASSERT_GE(nn_connect(s, url.c_str()), 0);
    ASSERT_EQ(nn_send(s, "hello", 5, 0), 5);
    unique_fd conn(accept(lfd.get(), nullptr, nullptr));
    ASSERT_TRUE(conn);
    // Answer with our header so the peer counts the connection as up.
    spwire::header rep = spwire::make_header(spwire::PROTO_REP);
    ASSERT_EQ(write(conn.get(), rep.data(), rep.size()), 8);

    spwire::reader rd(spwire::PROTO_REQ, 1024);
    std::string got;
    char buf[256];
    timeval tv{10, 0};
    setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    parsed p;
    while (p.messages.empty() && !p.closed) {
        ssize_t n = read(conn.get(), buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
        spwire::reader fresh(spwire::PROTO_REQ, 1024);
        p = run(fresh, got, got.size());
    }
    nn_close(s);
    ASSERT_TRUE(p.header);
    ASSERT_EQ(p.messages.size(), 1u);
    ASSERT_EQ(spwire::backtrace_size(p.messages[0]), 4u);
    EXPECT_NE(static_cast<uint8_t>(p.messages[0][0]) & 0x80, 0);
    EXPECT_EQ(p.messages[0].substr(4), "hello");
}

} // namespace
