#include "edge.hpp"

#include <cstring>

#include "edge_conn.hpp"
#include "info.hpp"
#include "spwire.hpp"

namespace edge {
namespace detail {

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

size_t reply_token::frame_room() const { return spwire::LENGTH_SIZE + backtrace_.size(); }

void reply_token::reply_framed(std::string text) {
    if (!core_)
        return;
    if (text.size() < frame_room()) {
        settle(std::nullopt);
        return;
    }
    spwire::put_u64(reinterpret_cast<uint8_t *>(text.data()), text.size() - spwire::LENGTH_SIZE);
    std::memcpy(text.data() + spwire::LENGTH_SIZE, backtrace_.data(), backtrace_.size());
    settle(std::move(text));
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
