// The daemon's network edge: listeners (cleartext and TLS) and connections
// for the request/reply wire, on one I/O thread.
//
// Design. One thread runs an asio::io_context; every listener, connection
// and timer lives on it, so connection state needs no locks. One thread is
// enough: it only moves bytes and runs TLS; requests are handled by the
// daemon's workers. Each connection runs three coroutines: a reader (TLS
// handshake, the wire header, then messages), a writer draining the
// connection's own reply queue, and a watchdog for its deadlines.
//
// Requests go to a bounded queue (edge_queue.hpp) that workers take from;
// a worker answers through the request's token, which hands the framed reply
// to the I/O thread and returns at once: no worker ever waits for a peer.
// A cheap request can be answered on the I/O thread itself (fast path),
// without the queue, so it is answered while every worker is busy.
//
// Bounds, and what happens at each:
// - max_connections (all listeners) and max_connections_per_address: a new
//   connection beyond either is closed at accept;
// - handshake_timeout: from accept to a verified TLS handshake and the
//   peer's wire header; then the connection is closed;
// - idle_timeout: a connection with nothing arriving and nothing in
//   progress, or whose replies have not moved for that long, is closed;
// - max_pending_requests: requests handed to workers plus replies not yet
//   sent, per connection; at the bound that connection is not read;
// - max_queued_requests/max_queued_bytes: requests read but not taken by a
//   worker, across connections; at the bound connections are not read (a
//   message of at most SMALL_MESSAGE bytes is still read, so a fast-path
//   request gets through, and waits there if it needs a worker);
// - max_message: a longer message closes its connection;
// - EMFILE/ENFILE on accept pause that listener for ACCEPT_PAUSE.
// Each bound is logged when hit, once per burst.
//
// Identity is fixed per connection before its first request is read:
// "tcp:<address>" at accept, "tls:<CN>" when the handshake has verified the
// client certificate. Every request carries its connection's identity.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "edge_limits.hpp"
#include "edge_queue.hpp"
#include "edge_tls.hpp"

namespace edge {

class server {
  public:
    explicit server(const limits &l);
    ~server();
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    // Listens on an IPv4 address (an IPv6 literal or a name fails like any
    // bad address). tls none: cleartext. The bound port in *bound (port 0
    // picks one). Before start() only.
    bool listen(const std::string &addr, uint16_t port, std::shared_ptr<tls_server> tls, uint16_t *bound,
                std::string *err);
    void set_fast_path(fast_path_fn f);
    void start();

    // For workers: the next request, waiting at most wait; none on time-out
    // and after stop_reading().
    std::optional<request> take(std::chrono::milliseconds wait);
    counters snapshot() const;

    // Shutdown, in two steps around the workers finishing: first close the
    // listeners, stop reading and drop requests no worker has taken; then
    // send the replies still queued for at most flush, close every
    // connection and end the I/O thread.
    void stop_reading();
    void finish(std::chrono::milliseconds flush);

  private:
    std::shared_ptr<detail::core> core_;
};

} // namespace edge
