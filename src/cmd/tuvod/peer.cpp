// Peer sockets through sock_diag: one request naming the peer's socket by
// its four-tuple (seen from its side, the addresses are swapped), answered
// with that socket's record, which carries its owner's uid.
#include "peer.hpp"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "handles.hpp"

namespace {

constexpr int diag_timeout_ms = 1000;

struct diag_request {
    struct nlmsghdr nlh;
    struct inet_diag_req_v2 req;
};

// Fills the id of the socket at the far end of fd: its source is our peer.
int peer_socket_id(int fd, struct inet_diag_req_v2 *req) {
    struct sockaddr_storage local {}, peer {};
    socklen_t llen = sizeof local, plen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &llen) != 0 ||
        getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &plen) != 0)
        return -1;
    if (local.ss_family != peer.ss_family) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    req->sdiag_family = static_cast<__u8>(local.ss_family);
    req->sdiag_protocol = IPPROTO_TCP;
    req->idiag_states = ~0U;
    req->id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    req->id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (local.ss_family == AF_INET) {
        const auto *l = reinterpret_cast<const struct sockaddr_in *>(&local);
        const auto *p = reinterpret_cast<const struct sockaddr_in *>(&peer);
        req->id.idiag_sport = p->sin_port;
        req->id.idiag_dport = l->sin_port;
        memcpy(req->id.idiag_src, &p->sin_addr, sizeof p->sin_addr);
        memcpy(req->id.idiag_dst, &l->sin_addr, sizeof l->sin_addr);
        return 0;
    }
    if (local.ss_family == AF_INET6) {
        const auto *l = reinterpret_cast<const struct sockaddr_in6 *>(&local);
        const auto *p = reinterpret_cast<const struct sockaddr_in6 *>(&peer);
        req->id.idiag_sport = p->sin6_port;
        req->id.idiag_dport = l->sin6_port;
        memcpy(req->id.idiag_src, &p->sin6_addr, sizeof p->sin6_addr);
        memcpy(req->id.idiag_dst, &l->sin6_addr, sizeof l->sin6_addr);
        return 0;
    }
    errno = EAFNOSUPPORT;
    return -1;
}

// Reads the answer to the request with sequence number seq.
int read_diag_answer(int nl, unsigned seq, uid_t *uid) {
    alignas(struct nlmsghdr) char buf[8192];
    struct pollfd pfd = {nl, POLLIN, 0};
    for (;;) {
        if (poll(&pfd, 1, diag_timeout_ms) <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        int len = static_cast<int>(n);
// The kernel's NLMSG_OK compares its unsigned length with the signed one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        for (auto *h = reinterpret_cast<struct nlmsghdr *>(buf); NLMSG_OK(h, len);
             h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto *e = static_cast<const struct nlmsgerr *>(NLMSG_DATA(h));
                errno = e->error != 0 ? -e->error : ENOENT;
                return -1;
            }
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                h->nlmsg_len >= NLMSG_LENGTH(sizeof(struct inet_diag_msg))) {
                const auto *m = static_cast<const struct inet_diag_msg *>(NLMSG_DATA(h));
                *uid = static_cast<uid_t>(m->idiag_uid);
                return 0;
            }
            if (h->nlmsg_type == NLMSG_DONE) {
                errno = ENOENT;
                return -1;
            }
        }
#pragma GCC diagnostic pop
    }
}

bool parse_uid(const std::string &text, uid_t *uid) {
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (v > 0xfffffffeUL)
        return false;
    *uid = static_cast<uid_t>(v);
    return true;
}

} // namespace

int tcp_peer_uid(int fd, uid_t *uid) {
    diag_request r {};
    if (peer_socket_id(fd, &r.req) != 0)
        return -1;
    unique_fd nl(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!nl)
        return -1;
    static unsigned counter = 0;
    unsigned seq = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
    r.nlh.nlmsg_len = sizeof r;
    r.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.nlh.nlmsg_flags = NLM_F_REQUEST;
    r.nlh.nlmsg_seq = seq;
    struct sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl.get(), &r, sizeof r, 0, reinterpret_cast<struct sockaddr *>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof r))
        return -1;
    return read_diag_answer(nl.get(), seq, uid);
}

bool uid_in_user_list(uid_t uid, const std::vector<std::string> &users) {
    if (uid == 0)
        return true;
    for (const std::string &user : users) {
        uid_t listed;
        if (parse_uid(user, &listed)) {
            if (listed == uid)
                return true;
            continue;
        }
        struct passwd pw, *found = nullptr;
        std::vector<char> buf(16384);
        if (getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) == 0 &&
            found != nullptr && found->pw_uid == uid)
            return true;
    }
    return false;
}
