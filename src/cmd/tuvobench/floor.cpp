#include "floor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "handles.hpp"

namespace bench {

namespace {

bool make_pipe(unique_fd &rd, unique_fd &wr) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    rd.reset(fds[0]);
    wr.reset(fds[1]);
    return true;
}

// Drains both pipes until each reports end of file.
bool drain(unique_fd &out, unique_fd &err, direct_run &r, size_t keep_bytes) {
    char buf[65536];
    while (out || err) {
        struct pollfd pfd[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (int i = 0; i < 2; i++) {
            if (pfd[i].revents == 0)
                continue;
            unique_fd &fd = i == 0 ? out : err;
            ssize_t n = read(fd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fd.reset();
                continue;
            }
            if (i == 0) {
                r.stdout_bytes += static_cast<size_t>(n);
                if (r.stdout_text.size() < keep_bytes)
                    r.stdout_text.append(buf, std::min(static_cast<size_t>(n),
                                                       keep_bytes - r.stdout_text.size()));
            }
        }
    }
    return true;
}

} // namespace

direct_run run_direct(const std::vector<std::string> &argv_s, size_t keep_bytes) {
    direct_run r;
    std::vector<char *> argv;
    for (const auto &a : argv_s)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    unique_fd out_rd, out_wr, err_rd, err_wr;
    unique_fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null_fd || !make_pipe(out_rd, out_wr) || !make_pipe(err_rd, err_wr))
        return r;

    pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        // Async-signal-safe calls only: the benchmark has threads.
        dup2(null_fd.get(), 0);
        dup2(out_wr.get(), 1);
        dup2(err_wr.get(), 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    out_wr.reset();
    err_wr.reset();
    bool drained = drain(out_rd, err_rd, r, keep_bytes);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.ok = drained;
    return r;
}

} // namespace bench
