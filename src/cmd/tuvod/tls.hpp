// TLS for the request socket, on OpenSSL.
//
// The library's own TLS engine cannot say who the peer is, so the daemon and
// tuvoctl register an engine of their own: it verifies peers with OpenSSL,
// keeps the verified certificate's CN per connection, and keeps the reason
// of the last refused handshake for messages.
#pragma once

#include <nng/nng.h>
#include <nng/supplemental/tls/tls.h>

#include <memory>
#include <string>

struct tls_config_deleter {
    void operator()(nng_tls_config *cfg) const noexcept { nng_tls_config_free(cfg); }
};
using tls_config_ptr = std::unique_ptr<nng_tls_config, tls_config_deleter>;

// Registers the engine once per process; 0, or an nng error.
int tuvod_tls_engine_init();

// A server configuration requiring client certificates signed by the CA in
// ca_file; TLS 1.2 or newer. Refuses (none, with the reason in *err) a file
// that is missing or unreadable, a key file readable by group or others, or
// a key that does not match its certificate.
tls_config_ptr tuvod_tls_server_config(const std::string &cert_file, const std::string &key_file,
                                       const std::string &ca_file, std::string *err);

// A client configuration that presents cert_file/key_file and verifies the
// server against ca_file and the host named in the tls+tcp:// endpoint.
// With both cert_file and key_file empty it presents no certificate.
tls_config_ptr tuvod_tls_client_config(const std::string &cert_file, const std::string &key_file,
                                       const std::string &ca_file, const std::string &endpoint,
                                       std::string *err);

// True for a TLS pipe, with its verified certificate's CN in *cn (or
// "(unverified)"); false for any other pipe.
bool tuvod_tls_peer_cn(nng_pipe pipe, std::string *cn);

// nng_dialer_start(dialer, 0) bounded by timeout_ms: the library can miss
// the end of a TLS connection that fails while nothing waits on it, and a
// plain synchronous start would then wait for good. NNG_ETIMEDOUT (the
// dialer closed) when the time runs out.
int tuvod_tls_dial(nng_dialer dialer, int timeout_ms);

// A sentence for a failed TLS dial (nng error rv): which side refused the
// handshake and why.
std::string tuvod_tls_dial_error(const std::string &endpoint, int rv);
