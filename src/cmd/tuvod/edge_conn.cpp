// Connections of the network edge: the reader (TLS handshake, the wire
// header, then messages, each admitted against the per-connection and queue
// bounds before its body is read), the writer (the connection's own reply
// queue) and the watchdog (handshake and idle deadlines). See edge.hpp.
#include "edge_conn.hpp"
#include "info.hpp"
#include "peer.hpp"
#include "spwire.hpp"

namespace edge {
namespace detail {

// ---- Connection ----

void connection::start() {
    auto self = shared_from_this();
    spawn(self, watchdog());
    spawn(self, run());
}

awaitable<bool> connection::handshake() {
    asio::error_code ec;
    co_await tls_->async_handshake(asio::ssl::stream_base::server, with(ec));
    if (closed_)
        co_return false;
    if (!ec)
        identity_ = tls_server::identity(tls_->native_handle());
    if (ec || identity_.empty()) {
        // Each refusal is logged: who was turned away, and why, is the point.
        PRINT_INFO(INFO_WARN, "TLS handshake failed: %s (from %s)\n",
                   tls_server::refusal(tls_->native_handle(), ec.message()).c_str(), address_.c_str());
        close(false);
        co_return false;
    }
    co_return true;
}

awaitable<size_t> connection::read_some(asio::error_code &ec) {
    if (tls_)
        co_return co_await tls_->async_read_some(asio::buffer(buf_), with(ec));
    co_return co_await sock_.async_read_some(asio::buffer(buf_), with(ec));
}

awaitable<void> connection::write_all(const std::string &frame, asio::error_code &ec) {
    if (tls_)
        co_await asio::async_write(*tls_, asio::buffer(frame), with(ec));
    else
        co_await asio::async_write(sock_, asio::buffer(frame), with(ec));
}

awaitable<void> connection::run() {
    if (tls_ && !co_await handshake())
        co_return;
    spwire::header h = spwire::make_header(spwire::PROTO_REP);
    out_.emplace_back(reinterpret_cast<const char *>(h.data()), h.size());
    writer_started_ = true;
    spawn(shared_from_this(), writer());

    spwire::reader rd(spwire::PROTO_REQ, core_.lim.max_message);
    size_t begin = 0, end = 0;
    while (readable()) {
        auto st = rd.feed(std::span<const uint8_t>(buf_.data() + begin, end - begin));
        begin += st.used;
        switch (st.ev) {
        case spwire::reader::event::need_more: {
            asio::error_code ec;
            size_t n = co_await read_some(ec);
            if (ec || !readable()) {
                if (!stopping_)
                    close(false); // the peer is gone; its unsent replies with it
                co_return;
            }
            begin = 0;
            end = n;
            touch();
            break;
        }
        case spwire::reader::event::header_ok:
            ready_ = true;
            break;
        case spwire::reader::event::bad_header:
            PRINT_DEBUG(4, "Closing connection from %s: not a request peer's header\n", address_.c_str());
            close(false);
            co_return;
        case spwire::reader::event::too_large: {
            unsigned long long missed = 0;
            if (core_.size_log.hit(&missed))
                PRINT_INFO(INFO_WARN,
                           "Closing connection from %s: message of %llu bytes exceeds the limit of %lld (%llu more not logged)\n",
                           address_.c_str(), static_cast<unsigned long long>(rd.length()),
                           static_cast<long long>(core_.lim.max_message), missed);
            close(false);
            co_return;
        }
        case spwire::reader::event::length:
            if (!co_await room_for(rd.length()))
                co_return;
            rd.accept_length();
            break;
        case spwire::reader::event::message:
            co_await deliver(rd.take());
            break;
        }
    }
}

awaitable<bool> connection::room_for(uint64_t len) {
    if (in_flight() >= core_.lim.max_pending_requests) {
        unsigned long long missed = 0;
        if (core_.pending_log.hit(&missed))
            PRINT_INFO(INFO_WARN,
                       "Not reading from %s: %u requests pending or replies unsent (maxPendingRequests; %llu more "
                       "not logged)\n",
                       address_.c_str(), core_.lim.max_pending_requests, missed);
    }
    while (readable() && in_flight() >= core_.lim.max_pending_requests)
        co_await park(wake_);
    if (!readable())
        co_return false;
    auto n = static_cast<size_t>(len);
    if (core_.queue.reserve(n)) {
        charge_ = n;
        co_return true;
    }
    // Small enough to read without room: it may be a fast-path request.
    if (n <= SMALL_MESSAGE)
        co_return true;
    co_return co_await wait_for_queue(n);
}

awaitable<bool> connection::wait_for_queue(size_t len) {
    unsigned long long missed = 0;
    if (core_.queue_log.hit(&missed))
        PRINT_INFO(INFO_WARN,
                   "Request queue full (%zu requests, %zu bytes): connections wait until workers catch up (%llu more not logged)\n",
                   core_.lim.max_queued_requests, core_.lim.max_queued_bytes, missed);
    waiting_room_ = true;
    bool ok = false;
    while (readable()) {
        core_.waiters.push_back(weak_from_this());
        co_await park(wake_);
        if (readable() && core_.queue.reserve(len)) {
            charge_ = len;
            ok = true;
            break;
        }
    }
    waiting_room_ = false;
    co_return ok;
}

awaitable<void> connection::deliver(std::string msg) {
    size_t charge = std::exchange(charge_, 0);
    auto bt = spwire::backtrace_size(msg);
    if (!bt) { // not a request: dropped, as the peers do
        core_.release(charge);
        co_return;
    }
    if (core_.fast) {
        if (auto r = core_.fast(identity_, std::string_view(msg).substr(*bt))) {
            core_.release(charge);
            enqueue(spwire::frame(std::string_view(msg).substr(0, *bt), *r));
            co_return;
        }
    }
    if (charge == 0) {
        if (!co_await wait_for_queue(msg.size()))
            co_return;
        charge = std::exchange(charge_, 0);
    }
    PRINT_DEBUG(DEBUG_ROUTER, "Received request with %zu bytes payload on connection %llu\n", msg.size() - *bt,
                static_cast<unsigned long long>(id_));
    request r;
    r.connection = id_;
    r.identity = identity_;
    r.token = reply_token(core_.shared_from_this(), weak_from_this(), msg.substr(0, *bt));
    msg.erase(0, *bt);
    r.body = std::move(msg);
    r.charge = charge;
    ++pending_;
    core_.queue.push(std::move(r));
}

void connection::enqueue(std::string frame) {
    out_.push_back(std::move(frame));
    write_wake_.cancel();
}

void connection::settle(std::optional<std::string> frame) {
    if (pending_ > 0)
        --pending_;
    if (frame && !closed_)
        enqueue(std::move(*frame));
    else
        wake_.cancel();
}

awaitable<void> connection::writer() {
    while (!closed_) {
        if (out_.empty()) {
            if (flushing_) {
                close(false);
                break;
            }
            co_await park(write_wake_);
            continue;
        }
        std::string frame = std::move(out_.front());
        out_.pop_front();
        writing_ = true;
        asio::error_code ec;
        co_await write_all(frame, ec);
        writing_ = false;
        if (ec) {
            close(false);
            break;
        }
        touch();
        wake_.cancel(); // room for the reader again
    }
}

awaitable<void> connection::watchdog() {
    asio::error_code ec;
    deadline_.expires_after(core_.lim.handshake_timeout);
    co_await deadline_.async_wait(with(ec));
    const char *why = "handshake";
    while (!closed_ && ready_) {
        auto due = last_active_ + core_.lim.idle_timeout;
        if (steady::now() < due) {
            deadline_.expires_at(due);
            co_await deadline_.async_wait(with(ec));
            continue;
        }
        if (busy()) {
            touch();
            continue;
        }
        why = "idle";
        break;
    }
    if (closed_)
        co_return;
    unsigned long long missed = 0;
    if (core_.deadline_log.hit(&missed))
        PRINT_INFO(INFO_WARN, "Closing connection from %s: %s time-out (%llu more not logged)\n", address_.c_str(),
                   why, missed);
    close(true);
}

void connection::flush_then_close() {
    flushing_ = true;
    stopping_ = true;
    if (!writer_started_ || (out_.empty() && !writing_))
        close(false);
    else
        write_wake_.cancel();
}

void connection::close(bool by_deadline) {
    if (closed_)
        return;
    closed_ = true;
    if (by_deadline)
        ++core_.deadline_closed;
    core_.release(std::exchange(charge_, 0));
    asio::error_code ec;
    sock_.close(ec);
    deadline_.cancel();
    wake_.cancel();
    write_wake_.cancel();
    out_.clear();
    core_.forget(*this);
}


// A cleartext connection from this host (loopback, or from the address it
// reached) is its socket's owner, as the legacy gateway names its callers;
// one whose owner cannot be found is an unknown local user, never remote.
std::string identity_at_accept(tcp::socket &s, const std::string &address) {
    asio::error_code local_ec, remote_ec;
    tcp::endpoint local = s.local_endpoint(local_ec);
    tcp::endpoint remote = s.remote_endpoint(remote_ec);
    bool from_this_host = !local_ec && !remote_ec &&
                          (remote.address().is_loopback() || remote.address() == local.address());
    if (!from_this_host)
        return "tcp:" + address;
    uid_t uid = 0;
    if (tcp_peer_uid(s.native_handle(), &uid) != 0)
        return "local:uid=unknown";
    return "local:uid=" + std::to_string(uid);
}

} // namespace detail
} // namespace edge
