// Peers and certificates for the network edge's tests: client certificates
// with chosen subjects and CRLs (signed by the CA that
// isolation::make_certificates makes), a blocking TLS client on OpenSSL that
// can misbehave on purpose, plain TCP peers, and the process's descriptor
// count.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "handles.hpp"
#include "spwire.hpp"

namespace edge_test {

inline int open_fds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

struct pem_file {
    explicit pem_file(const std::string &path, const char *mode) : f(fopen(path.c_str(), mode)) {}
    ~pem_file() {
        if (f != nullptr)
            fclose(f);
    }
    FILE *f;
};

struct signer {
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    explicit signer(const std::string &dir, const std::string &ca = "ca") {
        pem_file c(dir + "/" + ca + ".pem", "r"), k(dir + "/" + ca + ".key", "r");
        if (c.f != nullptr)
            cert = PEM_read_X509(c.f, nullptr, nullptr, nullptr);
        if (k.f != nullptr)
            key = PEM_read_PrivateKey(k.f, nullptr, nullptr, nullptr);
    }
    ~signer() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

// dir/name.pem and dir/name.key: a client certificate signed by dir/ca.pem
// whose subject holds one CN entry per element of cns (raw UTF-8 bytes).
inline bool make_client_cert(const std::string &dir, const std::string &name, const std::vector<std::string> &cns) {
    static long serial = 1000;
    signer ca(dir);
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    bool ok = ca.cert != nullptr && ca.key != nullptr && key != nullptr && x != nullptr;
    if (ok) {
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial + time(nullptr) % 100000 * 1000);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400);
        X509_NAME *subject = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("tuvod"), -1, -1, 0);
        for (const auto &cn : cns)
            ok = ok && X509_NAME_add_entry_by_txt(subject, "CN", V_ASN1_UTF8STRING, // no length rule
                                                  reinterpret_cast<const unsigned char *>(cn.data()),
                                                  static_cast<int>(cn.size()), -1, 0) == 1;
        X509_set_issuer_name(x, X509_get_subject_name(ca.cert));
        X509_set_pubkey(x, key);
        ok = ok && X509_sign(x, ca.key, EVP_sha256()) > 0;
    }
    if (ok) {
        pem_file c(dir + "/" + name + ".pem", "w");
        ok = c.f != nullptr && PEM_write_X509(c.f, x) == 1;
    }
    if (ok) {
        std::string kpath = dir + "/" + name + ".key";
        pem_file k(kpath, "w");
        ok = k.f != nullptr && chmod(kpath.c_str(), 0600) == 0 &&
             PEM_write_PrivateKey(k.f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    }
    X509_free(x);
    EVP_PKEY_free(key);
    return ok;
}

// A CRL at path, signed by dir/<ca>.pem, revoking the certificates dir/<n>.pem.
inline bool make_crl(const std::string &dir, const std::string &path, const std::vector<std::string> &revoked,
                     const std::string &ca_name = "ca") {
    signer ca(dir, ca_name);
    X509_CRL *crl = X509_CRL_new();
    bool ok = ca.cert != nullptr && ca.key != nullptr && crl != nullptr;
    if (ok) {
        X509_CRL_set_version(crl, 1);
        X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.cert));
        ASN1_TIME *now = X509_gmtime_adj(nullptr, -60), *next = X509_gmtime_adj(nullptr, 86400);
        X509_CRL_set1_lastUpdate(crl, now);
        X509_CRL_set1_nextUpdate(crl, next);
        for (const auto &n : revoked) {
            pem_file f(dir + "/" + n + ".pem", "r");
            X509 *x = f.f != nullptr ? PEM_read_X509(f.f, nullptr, nullptr, nullptr) : nullptr;
            if (x == nullptr) {
                ok = false;
                continue;
            }
            X509_REVOKED *r = X509_REVOKED_new();
            X509_REVOKED_set_serialNumber(r, X509_get_serialNumber(x));
            X509_REVOKED_set_revocationDate(r, now);
            X509_CRL_add0_revoked(crl, r);
            X509_free(x);
        }
        ASN1_TIME_free(now);
        ASN1_TIME_free(next);
        X509_CRL_sort(crl);
        ok = ok && X509_CRL_sign(crl, ca.key, EVP_sha256()) > 0;
    }
    if (ok) {
        pem_file f(path, "w");
        ok = f.f != nullptr && PEM_write_X509_CRL(f.f, crl) == 1;
    }
    X509_CRL_free(crl);
    return ok;
}

// A TCP connection to 127.0.0.1:port, optionally from a chosen local address.
inline unique_fd tcp_connect(uint16_t port, const char *from = nullptr) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (from != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            return {};
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return {};
    return fd;
}

inline bool send_all(int fd, const std::string &data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// True when the peer closed fd within timeout_ms (reading and dropping
// whatever it sent before).
inline bool closed_by_peer(int fd, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
    }
}

inline std::string req_header() {
    spwire::header h = spwire::make_header(spwire::PROTO_REQ);
    return std::string(reinterpret_cast<const char *>(h.data()), h.size());
}

// A blocking TLS client presenting dir/<who>.pem (none when who is empty) and
// trusting dir/ca.pem. Every wait is bounded by a socket time-out.
class tls_client {
  public:
    tls_client(const std::string &dir, const std::string &who) : ctx_(SSL_CTX_new(TLS_client_method())) {
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        SSL_CTX_load_verify_locations(ctx_, (dir + "/ca.pem").c_str(), nullptr);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        if (!who.empty()) {
            SSL_CTX_use_certificate_file(ctx_, (dir + "/" + who + ".pem").c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(ctx_, (dir + "/" + who + ".key").c_str(), SSL_FILETYPE_PEM);
        }
        ERR_clear_error();
    }
    ~tls_client() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    tls_client(const tls_client &) = delete;
    tls_client &operator=(const tls_client &) = delete;

    // Connects and completes the client's side of the handshake.
    bool connect(uint16_t port) {
        fd_ = tcp_connect(port);
        if (!fd_)
            return false;
        timeval tv{10, 0};
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_.get());
        bool ok = SSL_connect(ssl_) == 1;
        ERR_clear_error();
        return ok;
    }
    bool write(const std::string &data) { return SSL_write(ssl_, data.data(), static_cast<int>(data.size())) > 0; }
    // Header, one request and then close_notify, all in one TCP segment.
    bool request_and_close_notify(const std::string &body, uint32_t id) {
        int on = 1, off = 0;
        setsockopt(fd_.get(), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
        bool ok = write(req_header() + spwire::frame_request(id, body));
        SSL_shutdown(ssl_);
        setsockopt(fd_.get(), IPPROTO_TCP, TCP_CORK, &off, sizeof off);
        return ok;
    }
    // One request and its reply body; none when the daemon closed instead.
    std::optional<std::string> call(const std::string &body, uint32_t id = 0x80000001u) {
        if (!write(req_header() + spwire::frame_request(id, body)))
            return std::nullopt;
        std::string in;
        char buf[4096];
        for (;;) {
            if (in.size() >= 16) {
                uint64_t len = spwire::get_u64(reinterpret_cast<const uint8_t *>(in.data()) + 8);
                if (in.size() >= 16 + len) {
                    auto b = spwire::reply_body(std::string_view(in).substr(16, len), id);
                    if (b)
                        return std::string(*b);
                    return std::nullopt;
                }
            }
            int n = SSL_read(ssl_, buf, sizeof buf);
            if (n <= 0) {
                ERR_clear_error();
                return std::nullopt;
            }
            in.append(buf, static_cast<size_t>(n));
        }
    }
    // Drops the TCP connection without a TLS close_notify.
    void abort() { fd_.reset(); }

  private:
    SSL_CTX *ctx_;
    SSL *ssl_ = nullptr;
    unique_fd fd_;
};

} // namespace edge_test
