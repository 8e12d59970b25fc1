// A blocking SP REQ client over a plain socket, with TLS from OpenSSL when
// files are given. It measures what TLS costs the daemon: the TLS figure of
// the nng client also carries nng's own TLS engine, which costs the client
// more than TLS costs the daemon. Both variants share every line except the
// TLS layer, so their ratio is the price of TLS alone.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <optional>
#include <string>

#include "client.hpp"
#include "handles.hpp"

namespace bench {

class openssl_client : public rt_client {
  public:
    // Connects to 127.0.0.1:port and exchanges the SP headers (and the TLS
    // handshake first with files); error() says why when that failed.
    openssl_client(int port, const tls_files *files, int timeout_ms);
    std::optional<std::string> round_trip(const std::string &bytes) override;
    const std::string &error() const { return error_; }

  private:
    bool send_all(const char *p, size_t len);
    bool recv_all(char *p, size_t len);

    struct ctx_free {
        void operator()(SSL_CTX *c) const noexcept { SSL_CTX_free(c); }
    };
    struct ssl_free {
        void operator()(SSL *s) const noexcept { SSL_free(s); }
    };
    unique_fd fd_;
    std::unique_ptr<SSL_CTX, ctx_free> ctx_;
    std::unique_ptr<SSL, ssl_free> ssl_;
    uint32_t next_id_ = 1;
    std::string error_;
};

} // namespace bench
