#include "client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <nng/protocol/reqrep0/req.h>

#include <cstring>

#include "isolation.hpp"

namespace bench {

namespace {

struct nn_msg_deleter {
    void operator()(char *p) const noexcept { nn_freemsg(p); }
};
using nn_msg_ptr = std::unique_ptr<char, nn_msg_deleter>;

// Reads exactly len bytes, waiting at most timeout_ms for each piece.
bool read_full(int fd, void *buf, size_t len, int timeout_ms) {
    auto *p = static_cast<char *>(buf);
    while (len > 0) {
        struct pollfd pfd {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0)
            return false;
        ssize_t n = read(fd, p, len);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool write_full(int fd, const char *p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string new_uuid() {
    uuid_t u;
    char text[37];
    uuid_generate(u);
    uuid_unparse_lower(u, text);
    return text;
}

std::string request_text(const std::string &uuid, const std::string &op, json_t *args_stolen) {
    json_ptr req(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", uuid.c_str(), "authority",
                           "bench", "op", op.c_str(), "args",
                           args_stolen != nullptr ? args_stolen : json_object()));
    cstr_ptr text(req ? json_dumps(req.get(), JSON_COMPACT) : nullptr);
    std::string out = text ? text.get() : "";
    out.push_back('\0');
    return out;
}

json_t *exec_args(const std::string &path, const std::string &arg, bool async) {
    json_t *argv = json_pack("[s]", path.c_str());
    if (argv != nullptr && !arg.empty())
        json_array_append_new(argv, json_string(arg.c_str()));
    return json_pack("{s:o, s:b}", "argv", argv, "asynchronous", async);
}

req_client::req_client(const std::string &endpoint, int timeout_ms) {
    sock_ = nn_socket(AF_SP, NN_REQ);
    if (sock_ < 0)
        return;
    int unlimited = -1;
    int resend = 24 * 3600 * 1000;
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout_ms, sizeof timeout_ms);
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &unlimited, sizeof unlimited);
    nn_setsockopt(sock_, NN_REQ, NN_REQ_RESEND_IVL, &resend, sizeof resend);
    nn_connect(sock_, endpoint.c_str());
}

req_client::~req_client() {
    if (sock_ >= 0)
        nn_close(sock_);
}

std::optional<std::string> req_client::round_trip(const std::string &bytes) {
    if (sock_ < 0 || nn_send(sock_, bytes.data(), bytes.size(), 0) != static_cast<int>(bytes.size()))
        return std::nullopt;
    char *raw = nullptr;
    int n = nn_recv(sock_, &raw, NN_MSG, 0);
    if (n < 0)
        return std::nullopt;
    nn_msg_ptr buf(raw);
    return std::string(buf.get(), static_cast<size_t>(n));
}

json_ptr rt_client::request(json_t *req) {
    cstr_ptr text(json_dumps(req, JSON_COMPACT));
    if (!text)
        return nullptr;
    std::string bytes(text.get());
    bytes.push_back('\0');
    auto reply = round_trip(bytes);
    if (!reply)
        return nullptr;
    json_error_t err;
    return json_ptr(json_loadb(reply->data(), strnlen(reply->data(), reply->size()), 0, &err));
}

tls_client::tls_client(const std::string &endpoint, const tls_files *files, int timeout_ms) {
    int rv = 0;
    if (files != nullptr) {
        nng_tls_config *raw = nullptr;
        rv = nng_tls_config_alloc(&raw, NNG_TLS_MODE_CLIENT);
        cfg_.reset(raw);
        std::string cert = isolation::read_file(files->cert), key = isolation::read_file(files->key);
        // The library's engine matches DNS names only; the daemon's certificate
        // names localhost too.
        if (rv == 0)
            rv = nng_tls_config_ca_file(raw, files->ca.c_str());
        if (rv == 0)
            rv = nng_tls_config_own_cert(raw, cert.c_str(), key.c_str(), nullptr);
        if (rv == 0)
            rv = nng_tls_config_server_name(raw, "localhost");
        if (rv == 0)
            rv = nng_tls_config_auth_mode(raw, NNG_TLS_AUTH_MODE_REQUIRED);
        if (rv != 0) {
            error_ = std::string("cannot set up TLS: ") + nng_strerror(rv);
            return;
        }
    }
    rv = nng_req0_open(&sock_);
    if (rv != 0) {
        error_ = std::string("cannot open a REQ socket: ") + nng_strerror(rv);
        return;
    }
    open_ = true;
    nng_socket_set_ms(sock_, NNG_OPT_RECVTIMEO, timeout_ms);
    nng_socket_set_ms(sock_, NNG_OPT_SENDTIMEO, timeout_ms);
    nng_socket_set_size(sock_, NNG_OPT_RECVMAXSZ, 0);
    nng_socket_set_ms(sock_, NNG_OPT_REQ_RESENDTIME, NNG_DURATION_INFINITE);
    nng_dialer d;
    rv = nng_dialer_create(&d, sock_, endpoint.c_str());
    if (rv == 0 && cfg_)
        rv = nng_dialer_set_ptr(d, NNG_OPT_TLS_CONFIG, cfg_.get());
    if (rv != 0) {
        error_ = "cannot dial " + endpoint + ": " + nng_strerror(rv);
        return;
    }
    if ((rv = nng_dialer_start(d, 0)) != 0)
        error_ = "cannot connect to " + endpoint + ": " + nng_strerror(rv);
}

tls_client::~tls_client() {
    if (open_)
        nng_close(sock_);
}

std::optional<std::string> tls_client::round_trip(const std::string &bytes) {
    if (!open_ || !error_.empty() || nng_send(sock_, const_cast<char *>(bytes.data()), bytes.size(), 0) != 0)
        return std::nullopt;
    char *raw = nullptr;
    size_t len = 0;
    if (nng_recv(sock_, &raw, &len, NNG_FLAG_ALLOC) != 0)
        return std::nullopt;
    std::string reply(raw, len);
    nng_free(raw, len);
    return reply;
}

echo_server::echo_server(const std::string &endpoint) {
    sock_ = nn_socket(AF_SP, NN_REP);
    if (sock_ < 0)
        return;
    // A bounded receive lets the thread notice the end of the run.
    int timeout = 200;
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
    if (nn_bind(sock_, endpoint.c_str()) < 0) {
        nn_close(sock_);
        sock_ = -1;
        return;
    }
    thread_ = std::thread([this] { serve(); });
}

echo_server::~echo_server() {
    run_ = false;
    if (thread_.joinable())
        thread_.join();
    if (sock_ >= 0)
        nn_close(sock_);
}

void echo_server::serve() {
    while (run_) {
        char *raw = nullptr;
        int n = nn_recv(sock_, &raw, NN_MSG, 0);
        if (n < 0)
            continue;
        // Zero-copy send hands the buffer to the library, as the daemon's reply does.
        if (nn_send(sock_, &raw, NN_MSG, 0) < 0)
            nn_freemsg(raw);
    }
}

std::optional<legacy_reply> legacy_call(const std::string &command_line, int timeout_ms) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return std::nullopt;
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4562);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return std::nullopt;
    // Header and text in one write: the daemon's reader copes with either, and
    // one segment is what current clients send.
    auto len = static_cast<uint32_t>(command_line.size());
    std::string msg(reinterpret_cast<const char *>(&len), sizeof len);
    msg += command_line;
    if (!write_full(fd.get(), msg.data(), msg.size()))
        return std::nullopt;
    struct {
        int32_t status;
        uint32_t length;
    } hdr{};
    if (!read_full(fd.get(), &hdr, sizeof hdr, timeout_ms))
        return std::nullopt;
    legacy_reply r{hdr.status, std::string(hdr.length, '\0')};
    if (hdr.length > 0 && !read_full(fd.get(), r.data.data(), hdr.length, timeout_ms))
        return std::nullopt;
    return r;
}

} // namespace bench
