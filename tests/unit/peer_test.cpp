// The owner of a local TCP peer's socket, as the legacy gateway sees it.
#include "peer.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "handles.hpp"

namespace {

// A listener on 127.0.0.1 at a port the kernel picks.
unique_fd listen_loopback(struct sockaddr_in *addr) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    *addr = {};
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *addr;
    if (!fd || bind(fd.get(), reinterpret_cast<struct sockaddr *>(addr), sizeof *addr) != 0 ||
        listen(fd.get(), 4) != 0 ||
        getsockname(fd.get(), reinterpret_cast<struct sockaddr *>(addr), &len) != 0)
        return unique_fd();
    return fd;
}

TEST(PeerTest, OwnerOfTheConnectingSocketIsFound) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    struct sockaddr_in addr;
    unique_fd listener = listen_loopback(&addr);
    ASSERT_TRUE(listener);

    for (uid_t as : {uid_t(0), uid_t(65534)}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[1]);
            if (as != 0 && setuid(as) != 0)
                _exit(10);
            int c = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(c, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
                _exit(11);
            // Stays connected until the parent has looked.
            char byte = 0;
            ssize_t rc = read(ready[0], &byte, 1);
            (void)rc;
            _exit(0);
        }
        close(ready[0]);
        unique_fd conn(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(conn);
        uid_t uid = 12345;
        EXPECT_EQ(tcp_peer_uid(conn.get(), &uid), 0) << strerror(errno);
        EXPECT_EQ(uid, as);
        close(ready[1]);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    // A descriptor that is no connected socket has no peer.
    uid_t uid = 0;
    EXPECT_EQ(tcp_peer_uid(listener.get(), &uid), -1);
}

TEST(PeerTest, UserListTakesNamesAndNumbersAndAlwaysRoot) {
    EXPECT_TRUE(uid_in_user_list(0, {}));
    EXPECT_FALSE(uid_in_user_list(65534, {}));
    EXPECT_TRUE(uid_in_user_list(65534, {"65534"}));
    EXPECT_TRUE(uid_in_user_list(65534, {"no-such-user-here", "nobody"}));
    EXPECT_FALSE(uid_in_user_list(65534, {"6553", "065534x", "", "-1", "root"}));
}

} // namespace
