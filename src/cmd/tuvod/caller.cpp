#include "caller.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "peer.hpp"
#include "tls.hpp"

namespace {

const std::string no_caller;
thread_local const std::string *current_caller = &no_caller;

std::string address_text(const nng_sockaddr &sa) {
    char text[INET6_ADDRSTRLEN] = {};
    switch (sa.s_family) {
    case NNG_AF_INET:
        if (inet_ntop(AF_INET, &sa.s_in.sa_addr, text, sizeof text) != nullptr)
            return text;
        break;
    case NNG_AF_INET6:
        if (inet_ntop(AF_INET6, sa.s_in6.sa_addr, text, sizeof text) != nullptr)
            return text;
        break;
    default:
        break;
    }
    return "unknown";
}

} // namespace

std::string tuvod_legacy_caller(int fd) {
    uid_t uid;
    if (tcp_peer_uid(fd, &uid) != 0)
        return "legacy:uid=unknown";
    return "legacy:uid=" + std::to_string(uid);
}

std::string tuvod_caller_of(nng_pipe pipe) {
    std::string cn;
    if (tuvod_tls_peer_cn(pipe, &cn))
        return "tls:" + cn;
    nng_sockaddr sa;
    std::memset(&sa, 0, sizeof sa);
    if (nng_pipe_get_addr(pipe, NNG_OPT_REMADDR, &sa) != 0)
        return "tcp:unknown";
    return "tcp:" + address_text(sa);
}

const std::string &tuvod_current_caller() { return *current_caller; }

bool tuvod_caller_is_tls(const std::string &caller) { return caller.rfind("tls:", 0) == 0; }

caller_scope::caller_scope(const std::string &caller) : saved_(current_caller) { current_caller = &caller; }

caller_scope::~caller_scope() { current_caller = saved_; }
