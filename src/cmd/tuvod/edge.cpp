#include "edge.hpp"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <future>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "info.hpp"
#include "spwire.hpp"

namespace edge {
namespace detail {

using asio::awaitable;
using asio::ip::tcp;
using steady = std::chrono::steady_clock;

auto with(asio::error_code &ec) { return asio::redirect_error(asio::use_awaitable, ec); }

// Waits on t until someone cancels it: the I/O thread's way to park a
// coroutine until the state it waits for may have changed.
awaitable<void> park(asio::steady_timer &t) {
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
        accept_log{std::chrono::seconds(10)}, handshake_log{std::chrono::seconds(1)};
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
            identity_ = "tcp:" + address_;
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
void spawn(const std::shared_ptr<connection> &c, awaitable<void> a) {
    asio::co_spawn(c->executor(), std::move(a), [c](std::exception_ptr e) {
        if (e)
            c->close(false);
    });
}

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
        unsigned long long missed = 0;
        if (core_.handshake_log.hit(&missed))
            PRINT_INFO(INFO_WARN, "TLS handshake failed: %s from %s (%llu more not logged)\n",
                       tls_server::refusal(tls_->native_handle(), ec.message()).c_str(), address_.c_str(), missed);
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

// ---- Core ----

void core::admit(tcp::socket s, const std::shared_ptr<tls_server> &tls) {
    asio::error_code ec;
    tcp::endpoint peer = s.remote_endpoint(ec);
    if (ec)
        return; // gone already
    std::string address = peer.address().to_string();
    auto at = per_address.find(address);
    unsigned from_address = at == per_address.end() ? 0 : at->second;
    if (conns.size() >= lim.max_connections || from_address >= lim.max_connections_per_address) {
        ++refused;
        unsigned long long missed = 0;
        if (cap_log.hit(&missed))
            PRINT_INFO(INFO_WARN,
                       "Refusing connection from %s: %s (%zu open, %u from that address; %llu more not logged)\n",
                       address.c_str(),
                       conns.size() >= lim.max_connections ? "maxConnections reached" : "maxConnectionsPerAddress reached",
                       conns.size(), from_address, missed);
        return; // s closes here
    }
    SSL *ssl = nullptr;
    if (tls && (ssl = tls->new_session()) == nullptr) {
        PRINT_INFO(INFO_ERROR, "Cannot start a TLS session for %s\n", address.c_str());
        return;
    }
    s.set_option(tcp::no_delay(true), ec);
    uint64_t id = next_id++;
    auto c = std::make_shared<connection>(*this, std::move(s), address, ssl, id);
    conns.emplace(id, c);
    ++per_address[address];
    ++open;
    c->start();
}

void core::forget(connection &c) {
    auto at = per_address.find(c.address());
    if (at != per_address.end() && --at->second == 0)
        per_address.erase(at);
    if (conns.erase(c.id()) != 0)
        --open;
    if (flushing && conns.empty()) {
        if (flush_timer)
            flush_timer->cancel();
        work.reset();
    }
}

void core::release(size_t charge) {
    if (charge == 0)
        return;
    queue.unreserve(charge);
    wake_waiters();
}

void core::wake_waiters() {
    std::vector<std::weak_ptr<connection>> now;
    now.swap(waiters);
    for (auto &w : now)
        if (auto c = w.lock())
            c->nudge();
}

void core::close_all() {
    std::vector<std::shared_ptr<connection>> all;
    for (auto &[id, c] : conns)
        all.push_back(c);
    for (auto &c : all)
        c->close(false);
}

awaitable<void> core::accept_loop(listener *l) {
    for (;;) {
        asio::error_code ec;
        tcp::socket s = co_await l->acceptor.async_accept(with(ec));
        if (stopping || ec == asio::error::operation_aborted)
            co_return;
        if (!ec) {
            admit(std::move(s), l->tls);
            continue;
        }
        if (ec.value() == ECONNABORTED)
            continue;
        // Out of descriptors (or memory): the pending connection stays in the
        // backlog and would be reported at once again, so pause instead of spinning.
        unsigned long long missed = 0;
        if (accept_log.hit(&missed))
            PRINT_INFO(INFO_ERROR, "Cannot accept on %s: %s; pausing that listener (%llu more not logged)\n",
                       l->name.c_str(), ec.message().c_str(), missed);
        l->pause.expires_after(ACCEPT_PAUSE);
        co_await l->pause.async_wait(with(ec));
        if (stopping)
            co_return;
    }
}

} // namespace detail

// ---- Tokens ----

reply_token::reply_token(std::shared_ptr<detail::core> core, std::weak_ptr<detail::connection> conn,
                         std::string backtrace)
    : core_(std::move(core)), conn_(std::move(conn)), backtrace_(std::move(backtrace)) {}

reply_token &reply_token::operator=(reply_token &&o) noexcept {
    if (this != &o) {
        settle(std::nullopt);
        core_ = std::move(o.core_);
        conn_ = std::move(o.conn_);
        backtrace_ = std::move(o.backtrace_);
    }
    return *this;
}

reply_token::~reply_token() { settle(std::nullopt); }

void reply_token::reply(std::string_view body) {
    if (core_)
        settle(spwire::frame(backtrace_, body));
}

void reply_token::settle(std::optional<std::string> frame) {
    std::shared_ptr<detail::core> core = std::move(core_);
    if (!core)
        return;
    asio::post(core->io, [conn = std::move(conn_), frame = std::move(frame)]() mutable {
        if (auto c = conn.lock())
            c->settle(std::move(frame));
    });
}

// ---- Server ----

server::server(const limits &l) : core_(std::make_shared<detail::core>(l)) {}

server::~server() {
    if (core_->thread.joinable())
        finish(std::chrono::milliseconds(0));
}

bool server::listen(const std::string &addr, uint16_t port, std::shared_ptr<tls_server> tls, uint16_t *bound,
                    std::string *err) {
    asio::error_code ec;
    asio::ip::address_v4 a = asio::ip::make_address_v4(addr, ec);
    if (ec) {
        *err = "'" + addr + "' is not an IPv4 address";
        return false;
    }
    auto l = std::make_unique<detail::listener>(core_->io, std::move(tls));
    asio::ip::tcp::endpoint ep(a, port);
    l->acceptor.open(ep.protocol(), ec);
    if (!ec)
        l->acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        l->acceptor.bind(ep, ec);
    if (!ec)
        l->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *err = ec.message();
        return false;
    }
    uint16_t p = l->acceptor.local_endpoint(ec).port();
    if (bound != nullptr)
        *bound = p;
    l->name = (l->tls ? "tls://" : "tcp://") + addr + ":" + std::to_string(p);
    core_->listeners.push_back(std::move(l));
    return true;
}

void server::set_fast_path(fast_path_fn f) { core_->fast = std::move(f); }

void server::start() {
    detail::core *c = core_.get();
    c->queue.set_on_room([c] { asio::post(c->io, [c] { c->wake_waiters(); }); });
    c->work.emplace(c->io.get_executor());
    for (auto &l : c->listeners)
        asio::co_spawn(c->io, c->accept_loop(l.get()), asio::detached);
    std::promise<void> done;
    c->thread_done = done.get_future();
    c->thread = std::thread([c, done = std::move(done)]() mutable {
        c->io.run();
        done.set_value();
    });
}

std::optional<request> server::take(std::chrono::milliseconds wait) { return core_->queue.take(wait); }

counters server::snapshot() const {
    counters out;
    out.open = core_->open.load();
    out.refused_at_cap = core_->refused.load();
    out.closed_by_deadline = core_->deadline_closed.load();
    out.queued_requests = core_->queue.queued();
    out.queued_bytes = core_->queue.queued_bytes();
    return out;
}

void server::stop_reading() {
    detail::core *c = core_.get();
    if (c->thread.joinable()) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> f = done->get_future();
        asio::post(c->io, [c, done] {
            c->stopping = true;
            asio::error_code ec;
            for (auto &l : c->listeners) {
                l->acceptor.close(ec);
                l->pause.cancel();
            }
            for (auto &[id, conn] : c->conns)
                conn->stop_reading();
            done->set_value();
        });
        f.wait_for(std::chrono::seconds(2));
    }
    c->queue.close();
}

void server::finish(std::chrono::milliseconds flush) {
    detail::core *c = core_.get();
    if (!c->thread.joinable())
        return;
    asio::post(c->io, [c, flush] {
        c->stopping = c->flushing = true;
        asio::error_code ec;
        for (auto &l : c->listeners)
            l->acceptor.close(ec);
        std::vector<std::shared_ptr<detail::connection>> all;
        for (auto &[id, conn] : c->conns)
            all.push_back(conn);
        for (auto &conn : all)
            conn->flush_then_close();
        if (c->conns.empty()) {
            c->work.reset();
            return;
        }
        c->flush_timer.emplace(c->io, flush);
        c->flush_timer->async_wait([c](asio::error_code e) {
            if (!e)
                c->close_all();
        });
    });
    if (c->thread_done.wait_for(flush + std::chrono::seconds(2)) != std::future_status::ready)
        c->io.stop(); // something still holds the loop: end it regardless
    c->thread.join();
    c->queue.close();
}

} // namespace edge
