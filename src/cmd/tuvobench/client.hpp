// Clients of the daemon's two protocols, and the bare nanomsg echo that
// calibrates what a round trip costs without the daemon.
//
// JSON protocol: one REQ socket per client (REQ allows one request in flight,
// so concurrent clients need sockets of their own); the body is compact JSON
// followed by a NUL byte, the reply likewise. Resends are disabled because a
// resent execute would be a repeated request to the daemon.
//
// TLS: the same REQ exchange with nng on tls+tcp:// (its own TLS engine, a
// peer independent of the daemon's), presenting a client certificate.
//
// Legacy protocol: one TCP connection per request to 127.0.0.1:4562; a
// 4-byte little-endian length and the command line go out, an int32 status,
// a uint32 length and the data come back, then the daemon closes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <nng/nng.h>

#include "handles.hpp"
#include <nng/supplemental/tls/tls.h>

namespace bench {

// One REQ socket, whatever carries it.
class rt_client {
  public:
    virtual ~rt_client() = default;
    // Sends bytes as one message and returns the reply's bytes, or nothing on time-out.
    virtual std::optional<std::string> round_trip(const std::string &bytes) = 0;
    // Borrows req; returns the parsed reply (new reference), or null on time-out
    // or a reply that is not JSON.
    json_ptr request(json_t *req);
};

// Cleartext, nanomsg.
class req_client : public rt_client {
  public:
    // Connects to endpoint; replies of any size are accepted.
    explicit req_client(const std::string &endpoint, int timeout_ms);
    ~req_client() override;
    req_client(const req_client &) = delete;
    req_client &operator=(const req_client &) = delete;

    std::optional<std::string> round_trip(const std::string &bytes) override;

  private:
    int sock_ = -1;
};

// Client certificate, its key and the CA of the daemon's certificate (PEM files).
struct tls_files {
    std::string cert, key, ca;
};

// nng, with TLS when files are given (the TLS peer of the benchmark) or in
// cleartext (so that TLS is compared with the same client library). The
// connection and handshake are made in the constructor, so they are never
// part of a measured round trip.
class tls_client : public rt_client {
  public:
    tls_client(const std::string &endpoint, const tls_files *files, int timeout_ms);
    ~tls_client() override;
    tls_client(const tls_client &) = delete;
    tls_client &operator=(const tls_client &) = delete;

    std::optional<std::string> round_trip(const std::string &bytes) override;
    // Empty once connected; otherwise why not.
    const std::string &error() const { return error_; }

  private:
    nng_socket sock_ = NNG_SOCKET_INITIALIZER;
    bool open_ = false;
    struct cfg_deleter {
        void operator()(nng_tls_config *c) const noexcept { nng_tls_config_free(c); }
    };
    std::unique_ptr<nng_tls_config, cfg_deleter> cfg_;
    std::string error_;
};

// The request text (compact JSON plus NUL) of one operation.
std::string request_text(const std::string &uuid, const std::string &op, json_t *args_stolen);
// {"argv": argv, "asynchronous": async} as the args of an execute request.
json_t *exec_args(const std::string &path, const std::string &arg, bool async);
std::string new_uuid();

// A REP socket on its own thread that sends every message straight back.
class echo_server {
  public:
    // Binds endpoint; started() says whether that worked.
    explicit echo_server(const std::string &endpoint);
    ~echo_server();
    echo_server(const echo_server &) = delete;
    echo_server &operator=(const echo_server &) = delete;
    bool started() const { return sock_ >= 0; }

  private:
    void serve();
    int sock_ = -1;
    std::atomic<bool> run_{true};
    std::thread thread_;
};

struct legacy_reply {
    int32_t status = 0;
    std::string data;
};

// One legacy exchange; nothing when the connection, the send or the reply fails.
std::optional<legacy_reply> legacy_call(const std::string &command_line, int timeout_ms);

} // namespace bench
