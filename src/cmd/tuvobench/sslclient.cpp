#include "sslclient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "spwire.hpp"

namespace bench {

openssl_client::openssl_client(int port, const tls_files *files, int timeout_ms) {
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct timeval tv {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int one = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd_ || connect(fd_.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        error_ = std::string("cannot connect: ") + strerror(errno);
        return;
    }
    if (files != nullptr) {
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        if (!ctx_ || SSL_CTX_load_verify_locations(ctx_.get(), files->ca.c_str(), nullptr) != 1 ||
            SSL_CTX_use_certificate_chain_file(ctx_.get(), files->cert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx_.get(), files->key.c_str(), SSL_FILETYPE_PEM) != 1) {
            error_ = "cannot load the TLS files";
            return;
        }
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
        ssl_.reset(SSL_new(ctx_.get()));
        if (!ssl_ || SSL_set_fd(ssl_.get(), fd_.get()) != 1 || SSL_connect(ssl_.get()) != 1) {
            error_ = "TLS handshake failed";
            return;
        }
    }
    spwire::header mine = spwire::make_header(spwire::PROTO_REQ), theirs{};
    if (!send_all(reinterpret_cast<const char *>(mine.data()), mine.size()) ||
        !recv_all(reinterpret_cast<char *>(theirs.data()), theirs.size()) ||
        !spwire::header_is(theirs, spwire::PROTO_REP))
        error_ = "no SP header from the daemon";
}

bool openssl_client::send_all(const char *p, size_t len) {
    while (len > 0) {
        ssize_t n = ssl_ ? SSL_write(ssl_.get(), p, static_cast<int>(len)) : send(fd_.get(), p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool openssl_client::recv_all(char *p, size_t len) {
    while (len > 0) {
        ssize_t n = ssl_ ? SSL_read(ssl_.get(), p, static_cast<int>(len)) : recv(fd_.get(), p, len, 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> openssl_client::round_trip(const std::string &bytes) {
    if (!error_.empty())
        return std::nullopt;
    // The request id (top bit set) is the backtrace; frame and body in one write.
    uint8_t id[4];
    spwire::put_u32(id, 0x80000000u | (next_id_++ & 0x7fffffffu));
    std::string frame = spwire::frame(std::string_view(reinterpret_cast<const char *>(id), sizeof id), bytes);
    uint8_t len_be[8];
    if (!send_all(frame.data(), frame.size()) || !recv_all(reinterpret_cast<char *>(len_be), sizeof len_be))
        return std::nullopt;
    uint64_t len = spwire::get_u64(len_be);
    if (len < 4 || len > (64u << 20))
        return std::nullopt;
    std::string reply(len, '\0');
    if (!recv_all(reply.data(), len))
        return std::nullopt;
    return reply.substr(4);
}

} // namespace bench
