// Internals of the network edge: the I/O core (listeners, the connection
// table, the accounting; edge.cpp) and the connections (edge_conn.cpp). Everything here runs on the I/O thread
// unless it says otherwise; see edge.hpp for the design.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <future>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "edge_limits.hpp"
#include "edge_queue.hpp"
#include "edge_tls.hpp"

namespace edge {
namespace detail {

using asio::awaitable;
using asio::ip::tcp;
using steady = std::chrono::steady_clock;

// The identity of a connection's requests, fixed at accept: "local:uid=<n>"
// from this host, "tcp:<address>" from elsewhere.
// A TLS connection gets "tls:<CN>" from its handshake instead.
std::string identity_at_accept(tcp::socket &s, const std::string &address);

inline auto with(asio::error_code &ec) { return asio::redirect_error(asio::use_awaitable, ec); }

// Waits on t until someone cancels it: the I/O thread's way to park a
// coroutine until the state it waits for may have changed.
inline awaitable<void> park(asio::steady_timer &t) {
    t.expires_at(asio::steady_timer::time_point::max());
    asio::error_code ec;
    co_await t.async_wait(with(ec));
}

// A limit's hits, logged once per burst: the first hit is logged, later ones
// only counted until quiet has passed without one.
class burst_log {
  public:
    explicit burst_log(std::chrono::seconds quiet) : quiet_(quiet) {}
    // True when this hit is to be logged; *missed: hits left out before it.
    bool hit(unsigned long long *missed) {
        auto now = steady::now();
        bool fresh = !seen_ || now - last_ > quiet_;
        seen_ = true;
        last_ = now;
        if (!fresh) {
            ++missed_;
            return false;
        }
        *missed = std::exchange(missed_, 0);
        return true;
    }

  private:
    std::chrono::seconds quiet_;
    bool seen_ = false;
    steady::time_point last_;
    unsigned long long missed_ = 0;
};

class connection;

struct listener {
    listener(asio::io_context &io, std::shared_ptr<tls_server> t) : acceptor(io), tls(std::move(t)), pause(io) {}
    tcp::acceptor acceptor;
    std::shared_ptr<tls_server> tls;
    asio::steady_timer pause;
    std::string name;
};

class core : public std::enable_shared_from_this<core> {
  public:
    explicit core(const limits &l) : lim(l), queue(l.max_queued_requests, l.max_queued_bytes) {}

    void admit(tcp::socket s, const std::shared_ptr<tls_server> &tls);
    void forget(connection &c);
    void release(size_t charge);
    void wake_waiters();
    void close_all();
    awaitable<void> accept_loop(listener *l);

    // First member: everything below that uses it goes before it does.
    asio::io_context io{1};
    const limits lim;
    request_queue queue;
    fast_path_fn fast;
    std::atomic<uint64_t> open{0}, refused{0}, deadline_closed{0};
    // I/O thread only from start() on.
    uint64_t next_id = 1;
    std::vector<std::unique_ptr<listener>> listeners;
    std::unordered_map<uint64_t, std::shared_ptr<connection>> conns;
    std::unordered_map<std::string, unsigned> per_address;
    std::vector<std::weak_ptr<connection>> waiters;
    bool stopping = false, flushing = false;
    std::optional<asio::steady_timer> flush_timer;
    burst_log cap_log{std::chrono::seconds(10)}, deadline_log{std::chrono::seconds(10)},
        queue_log{std::chrono::seconds(10)}, size_log{std::chrono::seconds(10)},
        accept_log{std::chrono::seconds(10)}, pending_log{std::chrono::seconds(10)};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
    std::future<void> thread_done;
};

class connection : public std::enable_shared_from_this<connection> {
  public:
    connection(core &c, tcp::socket s, std::string address, SSL *ssl, uint64_t id)
        : core_(c), sock_(std::move(s)), address_(std::move(address)), id_(id), deadline_(c.io), wake_(c.io),
          write_wake_(c.io), last_active_(steady::now()) {
        if (ssl != nullptr)
            tls_ = std::make_unique<asio::ssl::stream<tcp::socket &>>(sock_, ssl);
        else
            identity_ = identity_at_accept(sock_, address_);
    }

    void start();
    void close(bool by_deadline);
    void settle(std::optional<std::string> frame);
    void stop_reading() {
        stopping_ = true;
        wake_.cancel();
    }
    void flush_then_close();
    void nudge() { wake_.cancel(); }
    uint64_t id() const { return id_; }
    asio::any_io_executor executor() { return sock_.get_executor(); }
    const std::string &address() const { return address_; }

  private:
    awaitable<void> run();
    awaitable<void> writer();
    awaitable<void> watchdog();
    awaitable<bool> handshake();
    awaitable<bool> room_for(uint64_t len);
    awaitable<bool> wait_for_queue(size_t len);
    awaitable<void> deliver(std::string msg);
    awaitable<size_t> read_some(asio::error_code &ec);
    awaitable<void> write_all(const std::string &frame, asio::error_code &ec);
    void enqueue(std::string frame);

    bool readable() const { return !closed_ && !stopping_; }
    size_t in_flight() const { return pending_ + out_.size() + (writing_ ? 1 : 0); }
    // Work in hand that is not the peer's to move: a worker busy with one of
    // its requests, or the queue full. Not idle, whatever the clock says.
    bool busy() const { return waiting_room_ || (pending_ > 0 && out_.empty() && !writing_); }
    void touch() { last_active_ = steady::now(); }

    core &core_;
    tcp::socket sock_;
    std::unique_ptr<asio::ssl::stream<tcp::socket &>> tls_;
    std::string address_;
    std::string identity_; // empty until a TLS handshake is verified
    uint64_t id_;
    asio::steady_timer deadline_, wake_, write_wake_;
    steady::time_point last_active_;
    std::deque<std::string> out_;
    size_t pending_ = 0; // requests handed on and not settled
    size_t charge_ = 0;  // room reserved in the queue for the message being read
    bool closed_ = false, stopping_ = false, flushing_ = false, ready_ = false;
    bool writing_ = false, writer_started_ = false, waiting_room_ = false;
    std::array<uint8_t, 16384> buf_{};
};

// Runs a coroutine of c; its completion handler keeps c alive until it ends.
// An exception out of it (no memory) ends the connection, not the thread.
inline void spawn(const std::shared_ptr<connection> &c, awaitable<void> a) {
    asio::co_spawn(c->executor(), std::move(a), [c](std::exception_ptr e) {
        if (e)
            c->close(false);
    });
}
} // namespace detail
} // namespace edge
