#include "tls.hpp"

#include <fcntl.h>
#include <nng/protocol/reqrep0/req.h>
// The engine interface header has no C++ linkage block of its own.
extern "C" {
#include <nng/supplemental/tls/engine.h>
}
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "info.hpp"

// ---- The engine (types named by the library's engine interface) ----

struct nng_tls_engine_config {
    SSL_CTX *ctx;
    nng_tls_mode mode;
    char server_name[256];
};

struct nng_tls_engine_conn {
    void *tls; // the library's side, for nng_tls_engine_send/recv
    SSL *ssl;
    bool server;
    bool verified;
    char cn[256];
};

namespace {

constexpr size_t MAX_PEM_FILE = 1 << 20;

std::mutex last_error_mutex;
std::string last_error; // guarded by last_error_mutex

// Set while tuvod_tls_peer_cn asks a connection whether it is verified:
// the engine answers that question with the CN as well.
thread_local std::string *cn_request = nullptr;

void note_failure(const std::string &why) {
    std::lock_guard<std::mutex> lock(last_error_mutex);
    last_error = why;
}

std::string take_failure() {
    std::lock_guard<std::mutex> lock(last_error_mutex);
    std::string why;
    why.swap(last_error);
    return why;
}

std::string openssl_error() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0)
        return "unknown TLS failure";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

// ---- A BIO that reads and writes through the library's stream ----

int bio_write(BIO *b, const char *buf, int len) {
    BIO_clear_retry_flags(b);
    size_t n = static_cast<size_t>(len);
    int rv = nng_tls_engine_send(BIO_get_data(b), reinterpret_cast<const uint8_t *>(buf), &n);
    if (rv == NNG_EAGAIN) {
        BIO_set_retry_write(b);
        return -1;
    }
    return rv == 0 ? static_cast<int>(n) : -1;
}

int bio_read(BIO *b, char *buf, int len) {
    BIO_clear_retry_flags(b);
    size_t n = static_cast<size_t>(len);
    int rv = nng_tls_engine_recv(BIO_get_data(b), reinterpret_cast<uint8_t *>(buf), &n);
    if (rv == NNG_EAGAIN) {
        BIO_set_retry_read(b);
        return -1;
    }
    return rv == 0 ? static_cast<int>(n) : -1;
}

long bio_ctrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO *b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD *bio_method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tuvod-stream");
        if (m != nullptr) {
            BIO_meth_set_write(m, bio_write);
            BIO_meth_set_read(m, bio_read);
            BIO_meth_set_ctrl(m, bio_ctrl);
            BIO_meth_set_create(m, bio_create);
        }
        return m;
    }();
    return method;
}

// ---- Configuration operations ----

int cfg_init(nng_tls_engine_config *cfg, nng_tls_mode mode) {
    cfg->mode = mode;
    cfg->ctx = SSL_CTX_new(mode == NNG_TLS_MODE_SERVER ? TLS_server_method() : TLS_client_method());
    if (cfg->ctx == nullptr)
        return NNG_ENOMEM;
    SSL_CTX_set_min_proto_version(cfg->ctx, TLS1_2_VERSION);
    if (mode == NNG_TLS_MODE_SERVER) {
        // No resumption: every connection shows its certificate afresh, and
        // no ticket keys live in the daemon.
        SSL_CTX_set_session_cache_mode(cfg->ctx, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(cfg->ctx, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(cfg->ctx, 0);
    }
    // Clients verify servers unless told otherwise, as the library's engine does.
    SSL_CTX_set_verify(cfg->ctx, mode == NNG_TLS_MODE_CLIENT ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    return 0;
}

void cfg_fini(nng_tls_engine_config *cfg) { SSL_CTX_free(cfg->ctx); }

int cfg_server(nng_tls_engine_config *cfg, const char *name) {
    if (strlen(name) >= sizeof cfg->server_name)
        return NNG_EINVAL;
    strcpy(cfg->server_name, name);
    return 0;
}

// Whether the certificate's subject has a CN that is not empty.
bool names_cn(X509 *cert) {
    X509_NAME *subject = X509_get_subject_name(cert);
    int idx = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    return idx >= 0 && ASN1_STRING_length(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx))) > 0;
}

// A client certificate must name a CN: it is the client's identity. Checked
// in the verification, so that the refusal is a TLS alert like any other,
// which the client reads, rather than a dropped connection.
int verify_client(int preverify_ok, X509_STORE_CTX *ctx) {
    if (preverify_ok != 1 || X509_STORE_CTX_get_error_depth(ctx) != 0)
        return preverify_ok;
    X509 *cert = X509_STORE_CTX_get_current_cert(ctx);
    if (cert != nullptr && names_cn(cert))
        return 1;
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

int cfg_auth(nng_tls_engine_config *cfg, nng_tls_auth_mode mode) {
    SSL_verify_cb check = cfg->mode == NNG_TLS_MODE_SERVER ? verify_client : nullptr;
    switch (mode) {
    case NNG_TLS_AUTH_MODE_NONE:
        SSL_CTX_set_verify(cfg->ctx, SSL_VERIFY_NONE, nullptr);
        return 0;
    case NNG_TLS_AUTH_MODE_OPTIONAL:
        SSL_CTX_set_verify(cfg->ctx, SSL_VERIFY_PEER, check);
        return 0;
    case NNG_TLS_AUTH_MODE_REQUIRED:
        SSL_CTX_set_verify(cfg->ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, check);
        return 0;
    }
    return NNG_EINVAL;
}

int cfg_ca_chain(nng_tls_engine_config *cfg, const char *certs, const char *crl) {
    X509_STORE *store = SSL_CTX_get_cert_store(cfg->ctx);
    BIO *bio = BIO_new_mem_buf(certs, -1);
    if (bio == nullptr)
        return NNG_ENOMEM;
    int added = 0;
    while (X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store, cert) == 1)
            added++;
        X509_free(cert);
    }
    BIO_free(bio);
    ERR_clear_error();
    if (added == 0)
        return NNG_EINVAL;
    if (crl != nullptr && *crl != '\0') {
        BIO *cbio = BIO_new_mem_buf(crl, -1);
        while (cbio != nullptr) {
            X509_CRL *c = PEM_read_bio_X509_CRL(cbio, nullptr, nullptr, nullptr);
            if (c == nullptr)
                break;
            X509_STORE_add_crl(store, c);
            X509_CRL_free(c);
        }
        BIO_free(cbio);
        ERR_clear_error();
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    }
    return 0;
}

int cfg_own_cert(nng_tls_engine_config *cfg, const char *cert, const char *key, const char *pass) {
    BIO *cbio = BIO_new_mem_buf(cert, -1);
    BIO *kbio = BIO_new_mem_buf(key, -1);
    X509 *x = cbio != nullptr ? PEM_read_bio_X509(cbio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY *pk = kbio != nullptr ? PEM_read_bio_PrivateKey(kbio, nullptr, nullptr, const_cast<char *>(pass))
                                   : nullptr;
    int rv = NNG_EINVAL;
    if (x != nullptr && pk != nullptr && SSL_CTX_use_certificate(cfg->ctx, x) == 1 &&
        SSL_CTX_use_PrivateKey(cfg->ctx, pk) == 1 && SSL_CTX_check_private_key(cfg->ctx) == 1) {
        rv = 0;
        // Any further certificates in the file are the chain.
        while (X509 *extra = PEM_read_bio_X509(cbio, nullptr, nullptr, nullptr))
            if (SSL_CTX_add_extra_chain_cert(cfg->ctx, extra) != 1)
                X509_free(extra);
    }
    ERR_clear_error();
    X509_free(x);
    EVP_PKEY_free(pk);
    BIO_free(cbio);
    BIO_free(kbio);
    return rv;
}

int proto_version(nng_tls_version v) {
    switch (v) {
    case NNG_TLS_1_0:
        return TLS1_VERSION;
    case NNG_TLS_1_1:
        return TLS1_1_VERSION;
    case NNG_TLS_1_2:
        return TLS1_2_VERSION;
    case NNG_TLS_1_3:
        return TLS1_3_VERSION;
    }
    return 0;
}

int cfg_version(nng_tls_engine_config *cfg, nng_tls_version min, nng_tls_version max) {
    // Never below TLS 1.2, whatever is asked.
    int lo = std::max(proto_version(min), TLS1_2_VERSION);
    int hi = proto_version(max);
    if (hi == 0 || lo > hi)
        return NNG_ENOTSUP;
    SSL_CTX_set_min_proto_version(cfg->ctx, lo);
    SSL_CTX_set_max_proto_version(cfg->ctx, hi);
    return 0;
}

// ---- Connection operations ----

int conn_init(nng_tls_engine_conn *conn, void *tls, nng_tls_engine_config *cfg) {
    conn->tls = tls;
    conn->ssl = SSL_new(cfg->ctx);
    BIO *bio = bio_method() != nullptr ? BIO_new(bio_method()) : nullptr;
    if (conn->ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        SSL_free(conn->ssl);
        conn->ssl = nullptr;
        return NNG_ENOMEM;
    }
    BIO_set_data(bio, tls);
    SSL_set_bio(conn->ssl, bio, bio);
    conn->server = cfg->mode == NNG_TLS_MODE_SERVER;
    if (conn->server) {
        SSL_set_accept_state(conn->ssl);
        return 0;
    }
    SSL_set_connect_state(conn->ssl);
    if (cfg->server_name[0] != '\0') {
        SSL_set_tlsext_host_name(conn->ssl, cfg->server_name);
        // An address is matched against the certificate's IP entries, a name
        // against its DNS entries.
        X509_VERIFY_PARAM *param = SSL_get0_param(conn->ssl);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, cfg->server_name) != 1)
            SSL_set1_host(conn->ssl, cfg->server_name);
        ERR_clear_error();
    }
    return 0;
}

void conn_fini(nng_tls_engine_conn *conn) { SSL_free(conn->ssl); }

void conn_close(nng_tls_engine_conn *conn) {
    if (conn->ssl != nullptr && SSL_is_init_finished(conn->ssl))
        SSL_shutdown(conn->ssl);
    ERR_clear_error();
}

// The peer certificate's CN, with control bytes replaced: it ends up in
// logs and records.
void remember_peer(nng_tls_engine_conn *conn) {
    X509 *peer = SSL_get1_peer_certificate(conn->ssl);
    conn->verified = peer != nullptr && SSL_get_verify_result(conn->ssl) == X509_V_OK;
    conn->cn[0] = '\0';
    if (peer == nullptr)
        return;
    X509_NAME *subject = X509_get_subject_name(peer);
    int idx = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    unsigned char *utf8 = nullptr;
    int len = idx >= 0 ? ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx)))
                       : -1;
    if (len > 0) {
        size_t n = std::min(static_cast<size_t>(len), sizeof conn->cn - 1);
        for (size_t i = 0; i < n; i++)
            conn->cn[i] = (utf8[i] < 0x20 || utf8[i] == 0x7f) ? '?' : static_cast<char>(utf8[i]);
        conn->cn[n] = '\0';
    }
    OPENSSL_free(utf8);
    X509_free(peer);
}

std::string handshake_failure(SSL *ssl) {
    long vr = SSL_get_verify_result(ssl);
    if (vr == X509_V_ERR_APPLICATION_VERIFICATION)
        return "certificate refused: the client certificate names no CN";
    if (vr != X509_V_OK)
        return std::string("certificate refused: ") + X509_verify_cert_error_string(vr);
    unsigned long e = ERR_peek_last_error();
    if (e != 0 && ERR_GET_REASON(e) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
        ERR_clear_error();
        return "no client certificate presented";
    }
    if (e == 0)
        return "the connection ended during the handshake";
    return openssl_error();
}

int conn_handshake(nng_tls_engine_conn *conn) {
    ERR_clear_error();
    int rc = SSL_do_handshake(conn->ssl);
    if (rc == 1) {
        remember_peer(conn);
        // Verification has checked this already; never let a session
        // without an identity through.
        if (conn->server && (!conn->verified || conn->cn[0] == '\0')) {
            PRINT_INFO(INFO_WARN, "TLS handshake failed: %s\n", "the client certificate names no CN");
            return NNG_EPEERAUTH;
        }
        return 0;
    }
    int err = SSL_get_error(conn->ssl, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
        return NNG_EAGAIN;
    bool verify_failed = SSL_get_verify_result(conn->ssl) != X509_V_OK;
    std::string why = handshake_failure(conn->ssl);
    note_failure(why);
    PRINT_INFO(INFO_WARN, "TLS handshake failed: %s\n", why.c_str());
    return verify_failed ? NNG_EPEERAUTH : NNG_ECRYPTO;
}

int conn_io_result(nng_tls_engine_conn *conn, int rc) {
    int err = SSL_get_error(conn->ssl, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        ERR_clear_error();
        return NNG_EAGAIN;
    }
    // The peer closed the session. Not NNG_ECLOSED, which the library takes
    // for a local close: a synchronous dial that fails with it is never
    // told and waits for good.
    if (err == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return NNG_ECONNSHUT;
    }
    // A peer that refuses our certificate after the handshake (TLS 1.3)
    // says so in an alert, which ends up here.
    if (err == SSL_ERROR_SSL)
        note_failure(openssl_error());
    ERR_clear_error();
    return NNG_ECRYPTO;
}

int conn_recv(nng_tls_engine_conn *conn, uint8_t *buf, size_t *szp) {
    size_t got = 0;
    int rc = SSL_read_ex(conn->ssl, buf, *szp, &got);
    if (rc == 1) {
        *szp = got;
        return 0;
    }
    return conn_io_result(conn, rc);
}

int conn_send(nng_tls_engine_conn *conn, const uint8_t *buf, size_t *szp) {
    size_t put = 0;
    int rc = SSL_write_ex(conn->ssl, buf, *szp, &put);
    if (rc == 1) {
        *szp = put;
        return 0;
    }
    return conn_io_result(conn, rc);
}

bool conn_verified(nng_tls_engine_conn *conn) {
    if (cn_request != nullptr && conn->verified)
        *cn_request = conn->cn;
    return conn->verified;
}

nng_tls_engine_config_ops config_ops = {
    sizeof(nng_tls_engine_config), cfg_init,     cfg_fini,   cfg_server, cfg_auth,
    cfg_ca_chain,                  cfg_own_cert, cfg_version,
};

nng_tls_engine_conn_ops conn_ops = {
    sizeof(nng_tls_engine_conn), conn_init, conn_fini, conn_close, conn_handshake,
    conn_recv,                   conn_send, conn_verified,
};

const nng_tls_engine openssl_engine = {
    NNG_TLS_ENGINE_VERSION, &config_ops, &conn_ops, "tuvod-openssl", "OpenSSL", false,
};

// ---- Files ----

// The whole of a PEM file, at most MAX_PEM_FILE bytes. With private set,
// the file must be a regular file that group and others cannot read.
bool read_pem(const std::string &path, const char *what, bool private_key, std::string *out, std::string *err) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *err = std::string("cannot open TLS ") + what + " '" + path + "': " + strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) {
        *err = std::string("TLS ") + what + " '" + path + "' is not a regular file";
    } else if (private_key && (st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *err = std::string("TLS ") + what + " '" + path + "' has mode " + mode +
               "; it must be 0600 or stricter";
        ok = false;
    } else if (st.st_size > static_cast<off_t>(MAX_PEM_FILE)) {
        *err = std::string("TLS ") + what + " '" + path + "' is too large";
        ok = false;
    }
    out->clear();
    char buf[8192];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = std::string("cannot read TLS ") + what + " '" + path + "': " + strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (out->size() + static_cast<size_t>(n) > MAX_PEM_FILE) {
            *err = std::string("TLS ") + what + " '" + path + "' is too large";
            ok = false;
        } else {
            out->append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return ok;
}

// Checks that both parse and that the key belongs to the certificate.
bool check_pair(const std::string &cert, const std::string &key, const std::string &cert_file,
                const std::string &key_file, std::string *err) {
    BIO *cbio = BIO_new_mem_buf(cert.data(), static_cast<int>(cert.size()));
    BIO *kbio = BIO_new_mem_buf(key.data(), static_cast<int>(key.size()));
    X509 *x = cbio != nullptr ? PEM_read_bio_X509(cbio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY *pk = kbio != nullptr ? PEM_read_bio_PrivateKey(kbio, nullptr, nullptr, nullptr) : nullptr;
    bool ok = false;
    if (x == nullptr)
        *err = "TLS certificate file '" + cert_file + "' holds no PEM certificate";
    else if (pk == nullptr)
        *err = "TLS key file '" + key_file + "' holds no unencrypted PEM private key";
    else if (X509_check_private_key(x, pk) != 1)
        *err = "TLS key file '" + key_file + "' does not match certificate '" + cert_file + "'";
    else
        ok = true;
    ERR_clear_error();
    X509_free(x);
    EVP_PKEY_free(pk);
    BIO_free(cbio);
    BIO_free(kbio);
    return ok;
}

tls_config_ptr make_config(nng_tls_mode mode, const std::string &cert_file, const std::string &key_file,
                           const std::string &ca_file, std::string *err) {
    int rv = tuvod_tls_engine_init();
    if (rv != 0) {
        *err = std::string("cannot set up TLS: ") + nng_strerror(rv);
        return nullptr;
    }
    // A client may go without a certificate of its own (the daemon will
    // refuse it, which is worth being able to see).
    bool own = mode == NNG_TLS_MODE_SERVER || !cert_file.empty() || !key_file.empty();
    std::string cert, key, ca;
    if (!read_pem(ca_file, "CA file", false, &ca, err) ||
        (own && (!read_pem(cert_file, "certificate file", false, &cert, err) ||
                 !read_pem(key_file, "key file", true, &key, err) ||
                 !check_pair(cert, key, cert_file, key_file, err))))
        return nullptr;
    nng_tls_config *raw = nullptr;
    if ((rv = nng_tls_config_alloc(&raw, mode)) != 0) {
        *err = std::string("cannot set up TLS: ") + nng_strerror(rv);
        return nullptr;
    }
    tls_config_ptr cfg(raw);
    if (nng_tls_config_ca_chain(cfg.get(), ca.c_str(), nullptr) != 0) {
        *err = "TLS CA file '" + ca_file + "' holds no PEM certificate";
        return nullptr;
    }
    if (own && nng_tls_config_own_cert(cfg.get(), cert.c_str(), key.c_str(), nullptr) != 0) {
        *err = "TLS certificate '" + cert_file + "' or key '" + key_file + "' cannot be used";
        return nullptr;
    }
    if (nng_tls_config_version(cfg.get(), NNG_TLS_1_2, NNG_TLS_1_3) != 0 ||
        nng_tls_config_auth_mode(cfg.get(), NNG_TLS_AUTH_MODE_REQUIRED) != 0) {
        *err = "cannot configure TLS";
        return nullptr;
    }
    return cfg;
}

// The host part of tls+tcp://host:port (brackets of an IPv6 address removed).
std::string endpoint_host(const std::string &endpoint) {
    std::string rest = endpoint.substr(endpoint.find("://") == std::string::npos ? 0 : endpoint.find("://") + 3);
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        return rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return rest.substr(0, rest.rfind(':'));
}

} // namespace

int tuvod_tls_engine_init() {
    static int result = [] {
        // The library registers its own engine when it first starts; start
        // it first so that ours is the one that stays.
        nng_socket s;
        int rv = nng_req0_open(&s);
        if (rv != 0)
            return rv;
        nng_close(s);
        return nng_tls_engine_register(&openssl_engine);
    }();
    return result;
}

tls_config_ptr tuvod_tls_server_config(const std::string &cert_file, const std::string &key_file,
                                       const std::string &ca_file, std::string *err) {
    return make_config(NNG_TLS_MODE_SERVER, cert_file, key_file, ca_file, err);
}

tls_config_ptr tuvod_tls_client_config(const std::string &cert_file, const std::string &key_file,
                                       const std::string &ca_file, const std::string &endpoint,
                                       std::string *err) {
    tls_config_ptr cfg = make_config(NNG_TLS_MODE_CLIENT, cert_file, key_file, ca_file, err);
    if (cfg && nng_tls_config_server_name(cfg.get(), endpoint_host(endpoint).c_str()) != 0) {
        *err = "cannot use the host of '" + endpoint + "' as the server's name";
        return nullptr;
    }
    return cfg;
}

bool tuvod_tls_peer_cn(nng_pipe pipe, std::string *cn) {
    std::string seen;
    cn_request = &seen;
    bool verified = false;
    int rv = nng_pipe_get_bool(pipe, NNG_OPT_TLS_VERIFIED, &verified);
    cn_request = nullptr;
    // Only TLS pipes know the option. One that is somehow unverified still
    // must not pass for a cleartext caller.
    if (rv != 0)
        return false;
    *cn = verified && !seen.empty() ? seen : "(unverified)";
    return true;
}

int tuvod_tls_dial(nng_dialer dialer, int timeout_ms) {
    auto result = std::make_shared<std::promise<int>>();
    std::future<int> done = result->get_future();
    std::thread starter([dialer, result] { result->set_value(nng_dialer_start(dialer, 0)); });
    if (done.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready) {
        starter.join();
        return done.get();
    }
    // Closing the dialer ends the attempt where the library still can; the
    // thread is left to it where it cannot.
    nng_dialer_close(dialer);
    if (done.wait_for(std::chrono::seconds(1)) == std::future_status::ready)
        starter.join();
    else
        starter.detach();
    return NNG_ETIMEDOUT;
}

std::string tuvod_tls_dial_error(const std::string &endpoint, int rv) {
    std::string why = take_failure();
    switch (rv) {
    case NNG_EPEERAUTH:
        return "this client refused the certificate of " + endpoint + " (" +
               (why.empty() ? "not verified" : why) + "; see --ca)";
    case NNG_ECRYPTO:
    case NNG_ECLOSED:
    case NNG_ECONNSHUT:
    case NNG_ECONNRESET:
        return "the daemon at " + endpoint + " refused the TLS handshake (" +
               (why.empty() ? nng_strerror(rv) : why) + "; is the client certificate (--cert) signed by its CA and valid?)";
    case NNG_ECONNREFUSED:
        return "no daemon answers at " + endpoint + " (cannot connect; is tuvod running?)";
    case NNG_ETIMEDOUT:
        return "no TLS session with " + endpoint + " within the time-out" + (why.empty() ? "" : " (" + why + ")");
    default:
        return "cannot connect to " + endpoint + ": " + nng_strerror(rv);
    }
}
