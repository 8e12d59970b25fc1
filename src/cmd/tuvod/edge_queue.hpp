// Requests read from the network and waiting for a worker.
//
// The I/O thread reserves room for a message when it reads the message's
// length (reserve), so no connection buffers a body the queue could not take;
// the reservation becomes a queued request when the body is complete (push),
// and the room is given back when a worker takes the request (take). The
// bounds (requests and bytes) hold across all connections. A reservation that
// fails marks the queue as having waiters; the next take that frees room
// calls on_room, which is how the I/O thread learns it may read again.
//
// One mutex guards the queue and the accounting; on_room is called outside
// it, on the worker's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace edge {

namespace detail {
class core;
class connection;
} // namespace detail

// Where a request's reply goes. Move-only; a token destroyed without a
// reply tells its connection that the request is settled all the same (no
// reply is sent, as for a body that is not JSON).
class reply_token {
  public:
    reply_token() = default;
    reply_token(std::shared_ptr<detail::core> core, std::weak_ptr<detail::connection> conn,
                std::string backtrace);
    reply_token(reply_token &&) noexcept = default;
    reply_token &operator=(reply_token &&o) noexcept;
    reply_token(const reply_token &) = delete;
    reply_token &operator=(const reply_token &) = delete;
    ~reply_token();

    // Sends body as the reply (thread-safe; never waits for the peer). Dropped
    // when the connection is gone. The token is spent afterwards.
    void reply(std::string_view body);
    // The bytes a reply built in place leaves free at its front.
    size_t frame_room() const;
    // As reply(), for text whose body follows frame_room() free bytes: the
    // frame is completed in place, so a large reply is not copied again.
    void reply_framed(std::string text);
    bool spent() const { return core_ == nullptr; }

  private:
    void settle(std::optional<std::string> frame);

    std::shared_ptr<detail::core> core_;
    std::weak_ptr<detail::connection> conn_;
    std::string backtrace_;
};

// One request as a worker sees it.
struct request {
    uint64_t connection = 0; // the connection's handle, unique for the process
    std::string identity;    // "tcp:<address>" or "tls:<CN>", fixed before any byte was read
    std::string body;
    reply_token token;
    size_t charge = 0; // the room reserved for it in the queue
};

class request_queue {
  public:
    request_queue(size_t max_requests, size_t max_bytes) : max_requests_(max_requests), max_bytes_(max_bytes) {}

    // Reserves room for one message of len bytes. A message larger than the
    // whole byte bound fits only into an empty queue.
    bool reserve(size_t len);
    void unreserve(size_t len);
    // Queues r under the reservation r.charge. False (r dropped) once closed.
    bool push(request &&r);
    // The oldest request, waiting at most wait; none on time-out or once closed.
    std::optional<request> take(std::chrono::milliseconds wait);
    // Stops the queue: takers return, requests still queued are dropped.
    void close();

    void set_on_room(std::function<void()> f) { on_room_ = std::move(f); }
    size_t queued() const;
    size_t queued_bytes() const;

  private:
    const size_t max_requests_;
    const size_t max_bytes_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<request> queue_;
    size_t held_requests_ = 0; // queued plus reserved
    size_t held_bytes_ = 0;
    size_t queued_bytes_ = 0;
    bool waiters_ = false;
    bool closed_ = false;
    std::function<void()> on_room_;
};

} // namespace edge
