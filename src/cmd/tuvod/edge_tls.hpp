// The TLS listener's OpenSSL side: the server context, client verification
// against the CA file and an optional CRL, and the rules a client
// certificate's CN must meet to become an identity.
//
// Every handshake gets a session whose verification store is the current
// one: CA certificates plus, when configured, the CRL. A CRL reload builds a
// new store and swaps it in under a mutex; handshakes already running keep
// the store they started with. A reload that fails keeps the previous store.
// Sessions are never resumed (no cache, no tickets), so every connection is
// verified against the store of its own time.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>

namespace edge {

struct tls_files {
    std::string cert; // the daemon's certificate (PEM, may be followed by its chain)
    std::string key;  // its private key (PEM, unencrypted, mode 0600 or stricter)
    std::string ca;   // CAs that client certificates must be signed by
    std::string crl;  // revoked client certificates (PEM); empty: none
};

// Why a client certificate's CN cannot be an identity; none when it can.
enum class cn_fault { none, missing, several, too_long, control };
constexpr size_t MAX_CN_BYTES = 64;
// Checks the subject of cert and returns its one CN in *cn when acceptable.
cn_fault check_cn(X509 *cert, std::string *cn);
const char *cn_fault_text(cn_fault f);

struct ssl_ctx_deleter {
    void operator()(SSL_CTX *c) const noexcept { SSL_CTX_free(c); }
};
struct x509_store_deleter {
    void operator()(X509_STORE *s) const noexcept { X509_STORE_free(s); }
};
using ssl_ctx_ptr = std::unique_ptr<SSL_CTX, ssl_ctx_deleter>;
using x509_store_ptr = std::unique_ptr<X509_STORE, x509_store_deleter>;

class tls_server {
  public:
    // The context for files, or none with the reason in *err (a file missing,
    // unreadable or too large, a key readable by group or others, a key that
    // does not match the certificate, a CRL not signed by a CA of the CA file).
    static std::unique_ptr<tls_server> create(const tls_files &files, std::string *err);

    // A new server session for one connection (the caller owns it), or none.
    SSL *new_session();
    // Reads the CRL file again; on failure the previous list stays, and *err
    // says why. True when there is no CRL file.
    bool reload_crl(std::string *err);
    // Why a failed handshake on ssl failed, for the log.
    static std::string refusal(SSL *ssl, const std::string &library_reason);
    // The identity "tls:<CN>" of a session whose handshake completed.
    static std::string identity(SSL *ssl);

  private:
    // Only create() can name this, so only create() makes one.
    struct make_key {
        explicit make_key() = default;
    };

  public:
    explicit tls_server(make_key) {}

  private:
    bool build_store(std::string *err, x509_store_ptr *out);

    tls_files files_;
    std::string ca_pem_;
    ssl_ctx_ptr ctx_;
    std::mutex mutex_; // guards store_
    x509_store_ptr store_;
};

// Reads a whole PEM file of at most 1 MiB into *out. With private_key set it
// must be a regular file that group and others cannot read.
bool read_pem_file(const std::string &path, const char *what, bool private_key, std::string *out,
                   std::string *err);

} // namespace edge
