// tuvoctl's connection to the daemon: one request and its reply over the
// request/reply wire (spwire), in cleartext or TLS, on Asio.
//
// Every step has a deadline, run as asynchronous operations on a private
// io_context that the caller waits on (run_for): connecting may take at
// most CONNECT_WAIT (an absent daemon is reported then, not after the whole
// reply time-out), the handshake and the reply share the caller's time-out.
// A refused TLS handshake is reported with the side that refused and why.
// A cleartext listener greets at once with its protocol header and a TLS
// listener waits for a ClientHello: that is how a scheme that does not fit
// the port is told from other failures: a failed handshake, or a cleartext
// connection closed before a byte arrived, probes the port once more, in
// cleartext, to hear whether it greets.
// The request is sent once; a lost connection is reported, never retried,
// so a synchronous command never runs twice.
#include <sys/stat.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "ctl.hpp"
#include "spwire.hpp"

namespace {

using asio::ip::tcp;
constexpr auto CONNECT_WAIT = std::chrono::seconds(3);

struct endpoint_t {
    bool tls = false;
    std::string host, port;
};

// "tcp://host:port" or "tls+tcp://host:port"; the host may be in brackets.
// Empty, or why not in words (a missing port is the usual slip).
std::string parse_endpoint(const std::string &text, endpoint_t *ep) {
    std::string rest;
    if (text.rfind("tcp://", 0) == 0) {
        rest = text.substr(6);
    } else if (text.rfind("tls+tcp://", 0) == 0) {
        ep->tls = true;
        rest = text.substr(10);
    } else {
        return "invalid endpoint '" + text + "' (tcp://host:port or tls+tcp://host:port)";
    }
    // The port follows the last colon outside brackets.
    size_t close = rest.rfind(']');
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || (close != std::string::npos && colon < close)) {
        colon = rest.size();
        rest += ':';
    }
    ep->host = rest.substr(0, colon);
    ep->port = rest.substr(colon + 1);
    std::string shown = ep->host;
    if (ep->host.size() >= 2 && ep->host.front() == '[' && ep->host.back() == ']')
        ep->host = ep->host.substr(1, ep->host.size() - 2);
    if (ep->host.empty())
        return "invalid endpoint '" + text + "' (tcp://host:port or tls+tcp://host:port)";
    if (ep->port.empty())
        return ctl_msg_no_port(text, shown);
    if (ep->port.size() > 5 || ep->port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(ep->port) < 1 || std::stoi(ep->port) > 65535)
        return ctl_msg_bad_port(text);
    return "";
}

// The TLS files say whom to trust and who we are: like the configuration
// file, each must belong to the user or root and be writable by its owner only.
bool check_tls_file(const std::string &path, const char *what, std::string *err) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *err = std::string("cannot use the TLS ") + what + " '" + path + "': " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = std::string("the TLS ") + what + " '" + path + "' is not a regular file";
        return false;
    }
    if ((st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *err = std::string("the TLS ") + what + " '" + path +
               "' may be changed by other users; it must belong to you (or root) and be writable by its owner only";
        return false;
    }
    return true;
}

volatile sig_atomic_t interrupts = 0;
int interrupts_seen = 0; // what a wait started from; set by ctl_exchange

void count_interrupt(int) { interrupts = interrupts + 1; }

// How often a wait looks at the interrupt count.
constexpr auto INTERRUPT_CHECK = std::chrono::milliseconds(100);

// Runs io until done, the deadline or an interrupt; false unless done (the
// operations are then cancelled by closing the socket).
bool run_until(asio::io_context &io, const bool &done, std::chrono::steady_clock::time_point deadline,
               bool interruptible = true) {
    io.restart();
    while (!done) {
        if (interruptible && ctl_interrupted_since(interrupts_seen))
            return false;
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return done;
        io.run_one_for(std::min<std::chrono::steady_clock::duration>(left, INTERRUPT_CHECK));
    }
    return true;
}

class session {
  public:
    session(const endpoint_t &ep, const std::string &name) : ep_(ep), name_(name), sock_(io_), ssl_ctx_(asio::ssl::context::tls_client) {}

    int connect(std::string *err);
    int handshake(const ctl_tls_t &tls, std::chrono::steady_clock::time_point deadline, std::string *err);
    int exchange(const std::string &text, std::chrono::steady_clock::time_point deadline, int timeout_ms,
                 std::string *body, std::string *err);

  private:
    template <typename Op> asio::error_code await(Op op, std::chrono::steady_clock::time_point deadline, bool *timed_out);
    std::string refusal(const asio::error_code &ec);
    enum class greeting { cleartext, silent, unreachable };
    greeting probe_greeting(std::chrono::steady_clock::time_point deadline);

    endpoint_t ep_;
    std::string name_;
    asio::io_context io_;
    tcp::socket sock_;
    asio::ssl::context ssl_ctx_;
    std::optional<asio::ssl::stream<tcp::socket &>> tls_;
    tcp::endpoint peer_;
};

// The first bytes of a TLS record: alert or handshake, protocol major 3.
bool looks_like_tls(const uint8_t *b, size_t n) { return n >= 2 && (b[0] == 0x15 || b[0] == 0x16) && b[1] == 0x03; }

// How long a probe waits for a cleartext greeting.
constexpr auto GREETING_WAIT = std::chrono::seconds(1);

// Starts op(handler) and waits for it; on time-out the socket is closed.
template <typename Op>
asio::error_code session::await(Op op, std::chrono::steady_clock::time_point deadline, bool *timed_out) {
    asio::error_code result;
    bool done = false;
    op([&](const asio::error_code &ec, auto &&...) {
        result = ec;
        done = true;
    });
    *timed_out = !run_until(io_, done, deadline);
    if (*timed_out) {
        asio::error_code ignored;
        sock_.close(ignored);
        run_until(io_, done, std::chrono::steady_clock::now() + std::chrono::seconds(1), false);
    }
    return result;
}

int session::connect(std::string *err) {
    tcp::resolver resolver(io_);
    asio::error_code ec;
    auto addrs = resolver.resolve(ep_.host, ep_.port, ec);
    if (ec) {
        *err = "cannot resolve '" + ep_.host + "' for " + name_ + ": " + ec.message();
        return CTL_EXIT_UNAVAILABLE;
    }
    bool timed_out = false;
    ec = await(
        [&](auto h) {
            asio::async_connect(sock_, addrs, [this, h](const asio::error_code &e, const tcp::endpoint &at) mutable {
                peer_ = at;
                h(e);
            });
        },
        std::chrono::steady_clock::now() + CONNECT_WAIT, &timed_out);
    if (ec || timed_out) {
        *err = "no daemon answers at " + name_ + " (cannot connect; is tuvod running?)";
        return CTL_EXIT_UNAVAILABLE;
    }
    sock_.set_option(tcp::no_delay(true), ec);
    return 0;
}

std::string session::refusal(const asio::error_code &ec) {
    std::string why = ec.message();
    if (tls_) {
        long vr = SSL_get_verify_result(tls_->native_handle());
        if (vr != X509_V_OK)
            return "this client refused the certificate of " + name_ + " (" + X509_verify_cert_error_string(vr) + ")";
    }
    return "the daemon at " + name_ + " refused the TLS handshake (" + why + ")";
}

int session::handshake(const ctl_tls_t &tls, std::chrono::steady_clock::time_point deadline, std::string *err) {
    asio::error_code ec;
    SSL_CTX_set_min_proto_version(ssl_ctx_.native_handle(), TLS1_2_VERSION);
    ssl_ctx_.load_verify_file(tls.ca, ec);
    if (!ec)
        ssl_ctx_.use_certificate_chain_file(tls.cert, ec);
    if (!ec)
        ssl_ctx_.use_private_key_file(tls.key, asio::ssl::context::pem, ec);
    if (ec) {
        *err = "cannot use the TLS files (" + tls.cert + ", " + tls.key + ", " + tls.ca + "): " + ec.message();
        return CTL_EXIT_USAGE;
    }
    ssl_ctx_.set_verify_mode(asio::ssl::verify_peer);
    tls_.emplace(sock_, ssl_ctx_);
    SSL *ssl = tls_->native_handle();
    // The daemon's certificate must name the host dialled: its DNS name or IP address.
    asio::ip::make_address(ep_.host, ec);
    if (ec) {
        SSL_set_tlsext_host_name(ssl, ep_.host.c_str());
        SSL_set1_host(ssl, ep_.host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), ep_.host.c_str());
    }
    bool timed_out = false;
    ec = await([&](auto h) { tls_->async_handshake(asio::ssl::stream_base::client, h); }, deadline, &timed_out);
    if (timed_out) {
        *err = "the TLS handshake with " + name_ + " did not finish in time";
        return CTL_EXIT_UNAVAILABLE;
    }
    if (ec) {
        bool certificate = SSL_get_verify_result(ssl) != X509_V_OK;
        *err = !certificate && probe_greeting(deadline) == greeting::cleartext ? ctl_msg_tls_at_cleartext(name_)
                                                                               : refusal(ec);
        return CTL_EXIT_UNAVAILABLE;
    }
    return 0;
}

// What a new connection to the same address hears unasked within
// GREETING_WAIT (and the caller's deadline): a cleartext reply peer's
// header; nothing on a connection still open (a TLS listener waiting for
// its ClientHello); or anything else (no connection, closed at once).
session::greeting session::probe_greeting(std::chrono::steady_clock::time_point deadline) {
    tcp::socket probe(io_);
    std::array<uint8_t, spwire::HEADER_SIZE> got{};
    bool done = false;
    asio::error_code result;
    probe.async_connect(peer_, [&](const asio::error_code &ec) {
        if (ec) {
            result = ec;
            done = true;
            return;
        }
        asio::async_read(probe, asio::buffer(got), [&](const asio::error_code &e, size_t) {
            result = e;
            done = true;
        });
    });
    auto until = std::min(deadline, std::chrono::steady_clock::now() + GREETING_WAIT);
    bool finished = run_until(io_, done, until);
    asio::error_code ec;
    // Still connected and quiet: waiting for the client to speak first.
    bool waiting = !finished && probe.remote_endpoint(ec) == peer_ && !ec;
    asio::error_code ignored;
    probe.close(ignored);
    if (!finished)
        run_until(io_, done, std::chrono::steady_clock::now() + std::chrono::seconds(1), false);
    if (finished && !result && spwire::header_is(got, spwire::PROTO_REP))
        return greeting::cleartext;
    return waiting ? greeting::silent : greeting::unreachable;
}

int session::exchange(const std::string &text, std::chrono::steady_clock::time_point deadline, int timeout_ms,
                      std::string *body, std::string *err) {
    std::random_device rd;
    spwire::request_ids ids(rd());
    uint32_t id = ids.next();
    spwire::header h = spwire::make_header(spwire::PROTO_REQ);
    std::string out(reinterpret_cast<const char *>(h.data()), h.size());
    out += spwire::frame_request(id, std::string_view(text.c_str(), text.size() + 1));
    bool timed_out = false;
    auto write = [&](auto handler) {
        if (tls_)
            asio::async_write(*tls_, asio::buffer(out), handler);
        else
            asio::async_write(sock_, asio::buffer(out), handler);
    };
    asio::error_code ec = await(write, deadline, &timed_out);
    // Replies carry whole script outputs: no size limit.
    spwire::reader rd_(spwire::PROTO_REP, spwire::UNLIMITED);
    std::array<uint8_t, 65536> buf;
    size_t received = 0;
    uint8_t first[2] = {};
    while (!ec && !timed_out) {
        size_t n = 0;
        auto read = [&](auto handler) {
            auto h2 = [&, handler](const asio::error_code &e, size_t got) mutable {
                n = got;
                handler(e, got);
            };
            if (tls_)
                tls_->async_read_some(asio::buffer(buf), h2);
            else
                sock_.async_read_some(asio::buffer(buf), h2);
        };
        ec = await(read, deadline, &timed_out);
        std::span<const uint8_t> in(buf.data(), ec || timed_out ? 0 : n);
        for (size_t i = 0; i < in.size() && received + i < sizeof first; i++)
            first[received + i] = in[i];
        received += in.size();
        while (!in.empty() || (!ec && !timed_out)) {
            auto st = rd_.feed(in);
            in = in.subspan(st.used);
            using ev = spwire::reader::event;
            if (st.ev == ev::need_more)
                break;
            if (st.ev == ev::length) {
                rd_.accept_length();
            } else if (st.ev == ev::message) {
                std::string msg = rd_.take();
                if (auto b = spwire::reply_body(msg, id)) {
                    body->assign(*b);
                    return 0;
                }
            } else if (st.ev == ev::bad_header) {
                if (!tls_ && looks_like_tls(first, received)) {
                    *err = ctl_msg_cleartext_at_tls(name_, true);
                    return CTL_EXIT_UNAVAILABLE;
                }
                *err = name_ + " does not speak the tuvod protocol";
                return CTL_EXIT_PROTOCOL;
            }
        }
    }
    if (timed_out && ctl_interrupted_since(interrupts_seen)) {
        *err = "interrupted";
        return CTL_EXIT_INTERRUPTED;
    }
    if (timed_out) {
        *err = "no answer from tuvod at " + name_ + " within " + std::to_string(timeout_ms / 1000) +
               " seconds (see -t)";
    } else if (tls_ && ec.category() == asio::error::get_ssl_category()) {
        // With TLS 1.3 a refused client certificate shows only now.
        *err = refusal(ec);
    } else if (!tls_ && looks_like_tls(first, received)) {
        // An alert record is shorter than the header it stood in for.
        *err = ctl_msg_cleartext_at_tls(name_, true);
    } else if (!tls_ && received == 0 &&
               (ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe) &&
               probe_greeting(deadline) == greeting::silent) {
        // A cleartext listener greets before it reads; one that keeps quiet
        // waits for a ClientHello.
        *err = ctl_msg_cleartext_at_tls(name_, false);
    } else {
        *err = "lost the connection to tuvod at " + name_;
    }
    return CTL_EXIT_UNAVAILABLE;
}

} // namespace

int ctl_interrupts() { return interrupts; }

std::string ctl_endpoint_problem(const std::string &endpoint) {
    endpoint_t ep;
    return parse_endpoint(endpoint, &ep);
}

void ctl_interruptible(bool on) {
    struct sigaction sa {};
    sa.sa_handler = on ? count_interrupt : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool ctl_interrupted_since(int seen) { return interrupts > seen; }

int ctl_exchange(const std::string &endpoint, int timeout_ms, const std::string &text, std::string *body,
                 std::string *err, const ctl_tls_t *tls) {
    interrupts_seen = interrupts;
    endpoint_t ep;
    if (std::string why = parse_endpoint(endpoint, &ep); !why.empty()) {
        *err = why;
        return CTL_EXIT_USAGE;
    }
    if (ep.tls && (tls == nullptr || tls->cert.empty() || tls->key.empty() || tls->ca.empty())) {
        *err = "a tls+tcp:// endpoint needs --cert, --key and --ca (or certFile, keyFile and caFile in the "
               "configuration file)";
        return CTL_EXIT_USAGE;
    }
    if (ep.tls && (!check_tls_file(tls->ca, "CA file", err) || !check_tls_file(tls->cert, "certificate file", err) ||
                   !check_tls_file(tls->key, "key file", err)))
        return CTL_EXIT_CONFIG;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    try {
        session s(ep, endpoint);
        int rc = s.connect(err);
        if (rc == 0 && ep.tls)
            rc = s.handshake(*tls, deadline, err);
        if (rc == 0)
            rc = s.exchange(text, deadline, timeout_ms, body, err);
        return rc;
    } catch (const std::exception &e) {
        *err = "cannot talk to " + endpoint + ": " + e.what();
        return CTL_EXIT_UNAVAILABLE;
    }
}
