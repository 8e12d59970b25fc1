#include "edge_tls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "handles.hpp"

namespace edge {

namespace {

constexpr size_t MAX_PEM_FILE = 1024 * 1024;

struct bio_deleter {
    void operator()(BIO *b) const noexcept { BIO_free(b); }
};
struct x509_deleter {
    void operator()(X509 *x) const noexcept { X509_free(x); }
};
struct crl_deleter {
    void operator()(X509_CRL *c) const noexcept { X509_CRL_free(c); }
};
struct pkey_deleter {
    void operator()(EVP_PKEY *k) const noexcept { EVP_PKEY_free(k); }
};
using bio_ptr = std::unique_ptr<BIO, bio_deleter>;
using x509_ptr = std::unique_ptr<X509, x509_deleter>;
using crl_ptr = std::unique_ptr<X509_CRL, crl_deleter>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_deleter>;

bio_ptr mem_bio(const std::string &text) {
    return bio_ptr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::vector<x509_ptr> read_certs(const std::string &pem) {
    std::vector<x509_ptr> out;
    bio_ptr b = mem_bio(pem);
    while (b) {
        x509_ptr x(PEM_read_bio_X509(b.get(), nullptr, nullptr, nullptr));
        if (!x)
            break;
        out.push_back(std::move(x));
    }
    ERR_clear_error(); // the end of the file reads as an error
    return out;
}

std::vector<crl_ptr> read_crls(const std::string &pem) {
    std::vector<crl_ptr> out;
    bio_ptr b = mem_bio(pem);
    while (b) {
        crl_ptr c(PEM_read_bio_X509_CRL(b.get(), nullptr, nullptr, nullptr));
        if (!c)
            break;
        out.push_back(std::move(c));
    }
    ERR_clear_error();
    return out;
}

// The index of the per-session slot that keeps a refused CN's fault.
int fault_slot() {
    static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
}

// Adds the CN rules to the library's verification of the client's own
// certificate (depth 0); the chain itself is the library's job.
int verify_client(int preverify_ok, X509_STORE_CTX *store_ctx) {
    if (preverify_ok != 1 || X509_STORE_CTX_get_error_depth(store_ctx) != 0)
        return preverify_ok;
    std::string cn;
    cn_fault f = check_cn(X509_STORE_CTX_get_current_cert(store_ctx), &cn);
    if (f == cn_fault::none)
        return 1;
    auto *ssl = static_cast<SSL *>(
        X509_STORE_CTX_get_ex_data(store_ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl != nullptr)
        SSL_set_ex_data(ssl, fault_slot(), reinterpret_cast<void *>(static_cast<intptr_t>(f)));
    X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

// Whether crl is signed by one of cas: a CRL from elsewhere would only make
// every handshake fail at verification, so it is refused at load instead.
bool signed_by_one_of(X509_CRL *crl, const std::vector<x509_ptr> &cas) {
    for (const auto &ca : cas) {
        if (X509_NAME_cmp(X509_get_subject_name(ca.get()), X509_CRL_get_issuer(crl)) != 0)
            continue;
        EVP_PKEY *pk = X509_get0_pubkey(ca.get());
        if (pk != nullptr && X509_CRL_verify(crl, pk) == 1)
            return true;
    }
    ERR_clear_error();
    return false;
}

bool load_own_pair(SSL_CTX *ctx, const std::string &cert_pem, const std::string &key_pem,
                   const tls_files &files, std::string *err) {
    std::vector<x509_ptr> chain = read_certs(cert_pem);
    bio_ptr kb = mem_bio(key_pem);
    pkey_ptr key(kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (chain.empty()) {
        *err = "TLS certificate file '" + files.cert + "' holds no PEM certificate";
        return false;
    }
    if (!key) {
        *err = "TLS key file '" + files.key + "' holds no unencrypted PEM private key";
        return false;
    }
    if (X509_check_private_key(chain[0].get(), key.get()) != 1) {
        ERR_clear_error();
        *err = "TLS key file '" + files.key + "' does not match certificate '" + files.cert + "'";
        return false;
    }
    bool ok = SSL_CTX_use_certificate(ctx, chain[0].get()) == 1 && SSL_CTX_use_PrivateKey(ctx, key.get()) == 1;
    for (size_t i = 1; ok && i < chain.size(); ++i)
        ok = SSL_CTX_add1_chain_cert(ctx, chain[i].get()) == 1;
    if (!ok) {
        ERR_clear_error();
        *err = "TLS certificate file '" + files.cert + "' cannot be used";
    }
    return ok;
}

// TLS 1.2 or later, client certificates required, nothing to resume a
// session with and no renegotiation.
void set_policy(SSL_CTX *ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_client);
    SSL_CTX_set_verify_depth(ctx, 8);
}

} // namespace

bool read_pem_file(const std::string &path, const char *what, bool private_key, std::string *out,
                   std::string *err) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        *err = std::string("cannot open TLS ") + what + " '" + path + "': " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = std::string("TLS ") + what + " '" + path + "' is not a regular file";
        return false;
    }
    if (private_key && (st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *err = std::string("TLS ") + what + " '" + path + "' has mode " + mode + "; it must be 0600 or stricter";
        return false;
    }
    out->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = std::string("cannot read TLS ") + what + " '" + path + "': " + strerror(errno);
            return false;
        }
        if (n == 0)
            return true;
        if (out->size() + static_cast<size_t>(n) > MAX_PEM_FILE) {
            *err = std::string("TLS ") + what + " '" + path + "' is too large";
            return false;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

cn_fault check_cn(X509 *cert, std::string *cn) {
    X509_NAME *subject = cert != nullptr ? X509_get_subject_name(cert) : nullptr;
    if (subject == nullptr)
        return cn_fault::missing;
    int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0)
        return cn_fault::missing;
    if (X509_NAME_get_index_by_NID(subject, NID_commonName, at) >= 0)
        return cn_fault::several;
    ASN1_STRING *data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
    unsigned char *utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, data);
    if (len < 0) {
        ERR_clear_error();
        return cn_fault::control; // not text at all
    }
    std::string text(reinterpret_cast<const char *>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    if (text.empty())
        return cn_fault::missing;
    if (text.size() > MAX_CN_BYTES)
        return cn_fault::too_long;
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        bool c1 = c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(text[i + 1]) <= 0x9f; // U+0080..U+009F
        if (c < 0x20 || c == 0x7f || c1)
            return cn_fault::control;
    }
    *cn = std::move(text);
    return cn_fault::none;
}

const char *cn_fault_text(cn_fault f) {
    switch (f) {
    case cn_fault::none:
        return "acceptable";
    case cn_fault::missing:
        return "the client certificate names no CN";
    case cn_fault::several:
        return "the client certificate names more than one CN";
    case cn_fault::too_long:
        return "the client certificate's CN is longer than 64 bytes";
    case cn_fault::control:
        return "the client certificate's CN holds control characters";
    }
    return "unknown";
}

std::unique_ptr<tls_server> tls_server::create(const tls_files &files, std::string *err) {
    auto s = std::make_unique<tls_server>(make_key());
    s->files_ = files;
    std::string cert, key;
    if (!read_pem_file(files.ca, "CA file", false, &s->ca_pem_, err) ||
        !read_pem_file(files.cert, "certificate file", false, &cert, err) ||
        !read_pem_file(files.key, "key file", true, &key, err))
        return nullptr;
    std::vector<x509_ptr> cas = read_certs(s->ca_pem_);
    if (cas.empty()) {
        *err = "TLS CA file '" + files.ca + "' holds no PEM certificate";
        return nullptr;
    }
    s->ctx_.reset(SSL_CTX_new(TLS_server_method()));
    if (!s->ctx_) {
        *err = "cannot set up TLS: no memory for the context";
        return nullptr;
    }
    set_policy(s->ctx_.get());
    if (!load_own_pair(s->ctx_.get(), cert, key, files, err))
        return nullptr;
    // Tells clients which CAs to pick a certificate for.
    for (const auto &ca : cas)
        SSL_CTX_add_client_CA(s->ctx_.get(), ca.get());
    x509_store_ptr store;
    if (!s->build_store(err, &store))
        return nullptr;
    s->store_ = std::move(store);
    return s;
}

bool tls_server::build_store(std::string *err, x509_store_ptr *out) {
    std::vector<x509_ptr> cas = read_certs(ca_pem_);
    x509_store_ptr store(X509_STORE_new());
    if (!store) {
        *err = "cannot set up TLS: no memory for the verification store";
        return false;
    }
    for (const auto &ca : cas)
        X509_STORE_add_cert(store.get(), ca.get());
    if (!files_.crl.empty()) {
        std::string pem;
        if (!read_pem_file(files_.crl, "CRL file", false, &pem, err))
            return false;
        std::vector<crl_ptr> crls = read_crls(pem);
        if (crls.empty()) {
            *err = "TLS CRL file '" + files_.crl + "' holds no PEM CRL";
            return false;
        }
        for (const auto &crl : crls) {
            if (!signed_by_one_of(crl.get(), cas)) {
                *err = "TLS CRL file '" + files_.crl + "' holds a CRL not signed by a CA of '" + files_.ca + "'";
                return false;
            }
            X509_STORE_add_crl(store.get(), crl.get());
        }
        X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK);
    }
    ERR_clear_error();
    *out = std::move(store);
    return true;
}

SSL *tls_server::new_session() {
    SSL *ssl = SSL_new(ctx_.get());
    if (ssl == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    SSL_set1_verify_cert_store(ssl, store_.get());
    return ssl;
}

bool tls_server::reload_crl(std::string *err) {
    if (files_.crl.empty())
        return true;
    x509_store_ptr store;
    if (!build_store(err, &store))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    store_.swap(store);
    return true;
}

std::string tls_server::refusal(SSL *ssl, const std::string &library_reason) {
    auto f = static_cast<cn_fault>(reinterpret_cast<intptr_t>(SSL_get_ex_data(ssl, fault_slot())));
    if (f != cn_fault::none)
        return std::string("certificate refused: ") + cn_fault_text(f);
    long vr = SSL_get_verify_result(ssl);
    if (vr != X509_V_OK)
        return std::string("certificate refused: ") + X509_verify_cert_error_string(vr);
    return library_reason;
}

std::string tls_server::identity(SSL *ssl) {
    std::string cn;
    if (check_cn(SSL_get0_peer_certificate(ssl), &cn) != cn_fault::none)
        return {}; // cannot happen after verification; no identity means no requests
    return "tls:" + cn;
}

} // namespace edge
