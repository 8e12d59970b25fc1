// tuvoctl's side of the legacy loopback protocol.
//
// Protocol: one connection per request. The client sends the command line's
// length as a 32-bit little-endian unsigned integer and then the text; the
// daemon answers with a 32-bit little-endian signed exit status, a 32-bit
// little-endian length and that many bytes of the script's standard output,
// and closes the connection. The whole exchange is bounded by the reply
// time-out. The gateway closes a connection it will not serve without a
// word, so a close before any answer is reported as such a refusal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "ctl.hpp"

namespace {

// The gateway refuses longer command lines; a longer answer than this is
// not one of its answers.
constexpr uint32_t max_line = 16384;
constexpr uint32_t max_answer = 1u << 30;

void put_le32(std::string *buf, uint32_t v) {
    for (int i = 0; i < 4; i++)
        buf->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint32_t get_le32(const std::string &buf, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(buf[at + i])) << (8 * i);
    return v;
}

long ms_left(std::chrono::steady_clock::time_point deadline) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now())
                                 .count());
}

// Waits for the socket to become ready; false on time-out or failure.
bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        long left = ms_left(deadline);
        if (left <= 0)
            return false;
        struct pollfd pfd = {fd, events, 0};
        int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

std::string ctl_legacy_encode(const std::string &line) {
    std::string buf;
    put_le32(&buf, static_cast<uint32_t>(line.size()));
    buf += line;
    return buf;
}

int ctl_legacy_decode(const std::string &buf, int32_t *status, std::string *data) {
    if (buf.size() < 8)
        return 0;
    uint32_t len = get_le32(buf, 4);
    if (len > max_answer)
        return -1;
    if (buf.size() < 8 + static_cast<size_t>(len))
        return 0;
    *status = static_cast<int32_t>(get_le32(buf, 0));
    data->assign(buf, 8, len);
    return 1;
}

int ctl_legacy_call(const char *addr, int port, const std::string &line, int timeout_ms,
                    int32_t *status, std::string *data, std::string *err) {
    if (line.empty() || line.size() > max_line) {
        *err = "the command line must hold 1 to " + std::to_string(max_line) + " bytes";
        return CTL_EXIT_USAGE;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string where = std::string(addr) + " port " + std::to_string(port);

    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        *err = std::string("cannot create a socket: ") + strerror(errno);
        return CTL_EXIT_UNAVAILABLE;
    }
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
        *err = std::string("invalid address ") + addr;
        return CTL_EXIT_USAGE;
    }
    if (connect(fd.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        int soerr = errno;
        socklen_t len = sizeof soerr;
        if (errno != EINPROGRESS || !wait_ready(fd.get(), POLLOUT, deadline) ||
            getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soerr, &len) != 0 || soerr != 0) {
            *err = ctl_msg_legacy_unreachable(where, soerr != EINPROGRESS ? soerr : 0);
            return CTL_EXIT_UNAVAILABLE;
        }
    }

    std::string request = ctl_legacy_encode(line);
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            if (!wait_ready(fd.get(), POLLOUT, deadline)) {
                *err = "the legacy gateway at " + where + " does not take the request";
                return CTL_EXIT_UNAVAILABLE;
            }
        } else if (errno == EPIPE || errno == ECONNRESET) {
            *err = ctl_msg_legacy_closed(where, geteuid());
            return CTL_EXIT_UNAVAILABLE;
        } else if (errno != EINTR) {
            *err = std::string("sending to the legacy gateway failed: ") + strerror(errno);
            return CTL_EXIT_UNAVAILABLE;
        }
    }

    std::string answer;
    char chunk[65536];
    for (;;) {
        int rc = ctl_legacy_decode(answer, status, data);
        if (rc > 0)
            return 0;
        if (rc < 0) {
            *err = "the legacy gateway's answer announces an implausible length";
            return CTL_EXIT_PROTOCOL;
        }
        if (!wait_ready(fd.get(), POLLIN, deadline)) {
            *err = "no answer from the legacy gateway at " + where + " within " +
                   std::to_string(timeout_ms / 1000) + " seconds (see -t)";
            return CTL_EXIT_UNAVAILABLE;
        }
        ssize_t n = recv(fd.get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            answer.append(chunk, static_cast<size_t>(n));
        } else if ((n == 0 || errno == ECONNRESET) && answer.empty()) {
            *err = ctl_msg_legacy_closed(where, geteuid());
            return CTL_EXIT_UNAVAILABLE;
        } else if (n == 0) {
            *err = "the legacy gateway's answer is cut short";
            return CTL_EXIT_PROTOCOL;
        } else if (errno != EINTR && errno != EAGAIN) {
            *err = std::string("reading the legacy answer failed: ") + strerror(errno);
            return CTL_EXIT_UNAVAILABLE;
        }
    }
}
