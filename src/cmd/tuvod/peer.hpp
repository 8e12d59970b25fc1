// Who is at the other end of a local TCP connection: the owner of the
// peer's socket, found in the kernel's socket tables.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The uid owning the socket at the other end of the connected TCP socket
// fd; both ends must be in this network namespace (the peer's socket is
// looked up by its exact addresses and ports through sock_diag). 0, or -1
// with errno (ENOENT: no such socket, as for a peer that already closed).
int tcp_peer_uid(int fd, uid_t *uid);

// Whether uid is root or matches one of the entries of a "legacyUsers"
// list: user names or uids in decimal. Names are resolved at each call.
bool uid_in_user_list(uid_t uid, const std::vector<std::string> &users);
