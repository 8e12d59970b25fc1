// Command execution: fork into a contract, collect output, wait.
#include "execute.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "contract.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "procgroup.hpp"
#include "runs.hpp"
#include "scripts.hpp"
#include "utils.hpp"
#include "validate.hpp"

namespace {

using ull = unsigned long long;

constexpr ssize_t first_bufsz = 4096;
constexpr ssize_t max_output = 1073741824; // 1 GiB, final NUL included

// The C library refuses to change the signals it keeps for itself (32 and
// 33), yet the daemon may have been started with them ignored (posix_spawn
// leaves them so) and the script would inherit that. An all-zero kernel
// sigaction is SIG_DFL with no flags and an empty mask.
void reset_reserved_signal(int sig) noexcept {
    unsigned long dfl[8] = {};
    syscall(SYS_rt_sigaction, sig, dfl, nullptr, (NSIG - 1) / 8);
}

// What the child needs to start the checked file: its descriptor and
// identity, and the pipe on which it reports a file that changed.
struct child_exec_t {
    int exe_fd = -1;
    const script_identity_t *id = nullptr;
    bool interpreted = false;
    int status_w = -1;
};

// Descriptors the child keeps across the clean-up, both close-on-exec.
constexpr int child_exe_fd = 3;
constexpr int child_status_fd = 4;

// Reports to the parent that the file is no longer the checked one.
[[noreturn]] void refuse_changed_file() noexcept {
    char c = 'C';
    ssize_t rc = write(child_status_fd, &c, 1);
    (void)rc;
    _exit(126);
}

// Starts the checked file. A binary runs from the descriptor itself, so
// nothing done to the path since the check matters. An interpreter opens
// its script by name (and must see the configured path as $0), so the name
// must still lead to the checked file right before the exec.
[[noreturn]] void exec_checked(const char *path, const char **argv, const child_exec_t &x) noexcept {
    // The status-change time of the open file also moves when its name is
    // removed, which does not change what it holds.
    struct stat st;
    if (fstat(child_exe_fd, &st) != 0 || !same_script_content(*x.id, st))
        refuse_changed_file();
    if (x.interpreted) {
        // Followed: a configured path may be a checked link to the file.
        if (fstatat(AT_FDCWD, path, &st, 0) != 0 || !same_script_identity(*x.id, st))
            refuse_changed_file();
        execv(path, const_cast<char *const *>(argv));
    } else {
        syscall(SYS_execveat, child_exe_fd, "", const_cast<char *const *>(argv), environ,
                AT_EMPTY_PATH);
    }
    _exit(1);
}

// The child's side, from the fork to the exec; async-signal-safe calls only.
[[noreturn]] void run_child(const char *path, const char **argv, int out_w, int err_w,
                            bool nonblock, const child_exec_t &x) noexcept {
    // The forking thread blocks the daemon's control signals; a script must
    // start with none blocked and every disposition at its default, or it
    // (and anything it starts) could not be stopped with SIGTERM.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP && sigaction(sig, &dfl, nullptr) != 0)
            reset_reserved_signal(sig);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // The daemon itself may be shielded from the OOM killer (the unit's
    // OOMScoreAdjust=); its scripts are not.
    int adj = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (adj >= 0) {
        if (write(adj, "0", 1) != 1) {
            // Nothing to do: the script then keeps the daemon's score.
        }
        close(adj);
    }

    // Move the pipe ends above 2 first: with the daemon's standard
    // descriptors closed, pipe() may have handed out 0 to 2. The file and
    // the status pipe go above 4 until 0 to 2 are in place.
    int out = fcntl(out_w, F_DUPFD, 3);
    int err = fcntl(err_w, F_DUPFD, 3);
    int exe = fcntl(x.exe_fd, F_DUPFD_CLOEXEC, child_status_fd + 1);
    int status = fcntl(x.status_w, F_DUPFD_CLOEXEC, child_status_fd + 1);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0 && null_fd < 3)
        null_fd = fcntl(null_fd, F_DUPFD, 3);
    dup2(out, 1);
    dup2(null_fd, 0);
    dup2(err, 2);
    dup3(exe, child_exe_fd, O_CLOEXEC);
    dup3(status, child_status_fd, O_CLOEXEC);
    close_range(child_status_fd + 1, ~0U, 0);

    if (nonblock) {
        pid_t pid = raw_fork();
        if (pid < 0)
            _exit(1);
        if (pid > 0)
            _exit(0);
    }
    exec_checked(path, argv, x);
}

// True when the child reported that the file changed since it was checked.
// The pipe closes at the exec; waiting is bounded all the same.
bool child_refused_file(int status_r, int timeout_ms) {
    struct pollfd pfd = {status_r, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    char c;
    return rc > 0 && read(status_r, &c, 1) == 1;
}

// Finishes one pipe: poll ignores a negative descriptor.
void finish_pipe(struct pollfd *pfd, int *n_finished) {
    pfd->fd = -1;
    ++*n_finished;
}

// Grows the buffer for waiting more bytes. 0, or -1 when the pipe must be
// finished (error pushed).
int reserve_pipe_buffer(pipe_desc_t *p, int waiting, tuvod_error_t **errors) {
    ssize_t needed = p->pipe_datasz + waiting + 1;
    if (p->pipe_bufsz >= needed)
        return 0;
    if (needed > max_output) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Output from %s pipe is too large",
                p->pipe_name);
        return -1;
    }
    ssize_t new_size = p->pipe_data != nullptr ? p->pipe_bufsz : first_bufsz;
    while (new_size < needed)
        new_size *= 2;
    PRINT_DEBUG(DEBUG_COMMAND, "Insufficient buffer, reallocate to %zd (need %zd, have %zd)\n",
                new_size, needed, p->pipe_bufsz);
    char *data = static_cast<char *>(realloc(p->pipe_data, static_cast<size_t>(new_size)));
    if (data == nullptr) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to reallocate %s pipe data",
                p->pipe_name);
        return -1;
    }
    p->pipe_data = data;
    p->pipe_bufsz = new_size;
    return 0;
}

// Reads and drops bytes beyond what a pipe keeps. Returns true when the
// pipe is finished.
bool drop_pipe_bytes(pipe_desc_t *p, int waiting, tuvod_error_t **errors) {
    char scratch[65536];
    size_t want = static_cast<size_t>(waiting) < sizeof scratch ? static_cast<size_t>(waiting) : sizeof scratch;
    ssize_t n = read(p->pipe_fd, scratch, want);
    if (n > 0) {
        p->pipe_dropped += static_cast<size_t>(n);
        return false;
    }
    if (n == 0)
        return true;
    if (errno == EINTR)
        return false;
    set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Read failed on %s pipe: %s", p->pipe_name,
            strerror(errno));
    return true;
}

// Reads what one ready pipe holds. Returns true when the pipe is finished.
bool read_ready_pipe(pipe_desc_t *p, int64_t remaining, tuvod_error_t **errors) {
    int waiting = 0;
    if (ioctl(p->pipe_fd, FIONREAD, &waiting) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "FIONREAD failed on %s pipe: %s",
                p->pipe_name, strerror(errno));
        return true;
    }
    PRINT_DEBUG(DEBUG_COMMAND, "%s pipe ready to read %d bytes with %lldms remaining\n", p->pipe_name,
                waiting, static_cast<long long>(remaining));
    if (p->pipe_keep > 0 && static_cast<size_t>(p->pipe_datasz) + static_cast<size_t>(waiting) > p->pipe_keep) {
        size_t room = p->pipe_keep - static_cast<size_t>(p->pipe_datasz);
        if (room == 0)
            return drop_pipe_bytes(p, waiting, errors);
        waiting = static_cast<int>(room);
    }
    if (reserve_pipe_buffer(p, waiting, errors) != 0)
        return true;
    ssize_t n = read(p->pipe_fd, p->pipe_data + p->pipe_datasz, static_cast<size_t>(waiting));
    if (n > 0) {
        p->pipe_datasz += n;
        return false;
    }
    if (n == 0) {
        PRINT_DEBUG(DEBUG_COMMAND, "Finished reading data from %s pipe\n", p->pipe_name);
        return true;
    }
    if (errno == EINTR) {
        PRINT_DEBUG(DEBUG_COMMAND, "Interrupted read on %s pipe\n", p->pipe_name);
        return false;
    }
    set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Read failed on %s pipe: %s", p->pipe_name,
            strerror(errno));
    return true;
}

} // namespace

int64_t timeout_remaining(int64_t initial_timeout, struct timespec *start) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to get highres time for timer\n");
        return 0;
    }
    long long secs = now.tv_sec - start->tv_sec;
    long long nsecs = now.tv_nsec - start->tv_nsec;
    if (nsecs < 0) {
        secs -= 1;
        nsecs += 1000000000LL;
    }
    long long elapsed = secs * 1000 + (nsecs + 500000) / 1000000;
    return elapsed < initial_timeout ? initial_timeout - elapsed : 0;
}

namespace {

// Reads every pipe that the last poll found ready.
void read_ready_pipes(pipe_desc_t *pipe_descs, struct pollfd *pfds, int n_pipe_descs,
                      int64_t remaining, int *n_finished, tuvod_error_t **errors) {
    for (int i = 0; i < n_pipe_descs; ++i) {
        if (pfds[i].fd < 0 || (pfds[i].revents & (POLLIN | POLLHUP)) == 0)
            continue;
        if (read_ready_pipe(&pipe_descs[i], remaining, errors))
            finish_pipe(&pfds[i], n_finished);
    }
}

} // namespace

void read_pipes(pipe_desc_t *pipe_descs, int n_pipe_descs, int64_t initial_timeout,
                struct timespec *start, tuvod_error_t **errors) {
    struct pollfd pfds[9];
    n_pipe_descs = n_pipe_descs > 8 ? 8 : n_pipe_descs;
    for (int i = 0; i < n_pipe_descs; ++i)
        pfds[i] = {pipe_descs[i].pipe_fd, POLLIN | POLLHUP, 0};
    // A cancel of this thread's run ends the collection as a time-out would.
    pfds[n_pipe_descs] = {current_run_wake_fd(), POLLIN, 0};
    int n_finished = 0;
    while (n_finished < n_pipe_descs) {
        int64_t remaining = timeout_remaining(initial_timeout, start);
        PRINT_DEBUG(DEBUG_COMMAND, "Poll for data on %d pipes with timeout %lldms\n", n_pipe_descs,
                    static_cast<long long>(remaining));
        int rc = poll(pfds, static_cast<nfds_t>(n_pipe_descs + 1), poll_timeout_ms(remaining));
        if (current_run_cancelled()) {
            // What the script wrote before the cancel is kept.
            if (poll(pfds, static_cast<nfds_t>(n_pipe_descs), 0) > 0)
                read_ready_pipes(pipe_descs, pfds, n_pipe_descs, remaining, &n_finished, errors);
            PRINT_DEBUG(DEBUG_COMMAND, "Read of data pipes ended by a cancel\n");
            break;
        }
        if (rc < 0 && errno == EINTR) {
            PRINT_DEBUG(DEBUG_COMMAND, "Poll on data pipes interrupted\n");
            continue;
        }
        if (rc < 0) {
            set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                    "Poll failed on data pipes with %lldms remaining: %s",
                    static_cast<long long>(remaining), strerror(errno));
            break;
        }
        if (rc == 0) {
            // One poll waits at most INT_MAX ms; a longer time-out takes several.
            if (remaining > INT_MAX)
                continue;
            PRINT_DEBUG(DEBUG_COMMAND, "Read of data pipes timed out with %lldms remaining\n",
                        static_cast<long long>(remaining));
            break;
        }
        read_ready_pipes(pipe_descs, pfds, n_pipe_descs, remaining, &n_finished, errors);
    }
    for (int i = 0; i < n_pipe_descs; ++i) {
        pipe_desc_t *p = &pipe_descs[i];
        if (p->pipe_data != nullptr)
            p->pipe_data[p->pipe_datasz] = '\0';
        PRINT_DEBUG(DEBUG_COMMAND, "Returning %zd bytes from %s pipe\n", p->pipe_datasz,
                    p->pipe_name);
    }
}

tuvod_exec_state_t execute_checked_command(tuvod_script_t *script, checked_script_t *checked,
                                           const char **argv, size_t keep_limit,
                                           exec_stream_t *out, exec_stream_t *err,
                                           int *exit_status, tuvod_error_t **errors) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create output pipe: %s",
                strerror(errno));
        return TUVOD_EXEC_FAILED;
    }
    unique_fd out_r(fds[0]), out_w(fds[1]);
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create error pipe: %s",
                strerror(errno));
        return TUVOD_EXEC_FAILED;
    }
    unique_fd err_r(fds[0]), err_w(fds[1]);
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create status pipe: %s",
                strerror(errno));
        return TUVOD_EXEC_FAILED;
    }
    unique_fd status_r(fds[0]), status_w(fds[1]);

    int tmpl_fd = activate_contract(script, errors);
    if (tmpl_fd < 0)
        return TUVOD_EXEC_FAILED;
    // Everything the child needs is taken before the fork.
    const char *path = script->script_path.c_str();
    bool nonblock = script->script_nonblock;
    child_exec_t x;
    x.exe_fd = checked->fd.get();
    x.id = &checked->id;
    x.interpreted = checked->interpreted;
    x.status_w = status_w.get();
    pid_t pid = contract_fork();
    if (pid < 0) {
        clear_contract_template(tmpl_fd);
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to fork");
        return TUVOD_EXEC_FAILED;
    }
    if (pid == 0)
        run_child(path, argv, out_w.get(), err_w.get(), nonblock, x);

    ctid_t ctid = latest_ctid(errors);
    if (ctid < 0) {
        // Without its contract the run cannot be waited for as a whole; end
        // the child rather than leave it unaccounted for.
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        clear_contract_template(tmpl_fd);
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                "Killed %s pid %llu: its contract is unknown", script->script_name.c_str(),
                static_cast<ull>(pid));
        return TUVOD_EXEC_FAILED;
    }
    set_contract_secrets(ctid, argv, script->script_redact_argv);
    PRINT_INFO(INFO_INFO, "'%s' is running in contract %llu\n", script->script_name.c_str(),
               static_cast<ull>(ctid));
    out_w.reset();
    err_w.reset();
    status_w.reset();

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int64_t timeout_ms = ms_from_seconds(script->script_timeout);
    bool refused = child_refused_file(status_r.get(),
                                      timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms));
    pipe_desc_t pipes[2];
    pipes[0].pipe_name = "stdout";
    pipes[0].pipe_fd = out_r.get();
    pipes[1].pipe_name = "stderr";
    pipes[1].pipe_fd = err_r.get();
    pipes[0].pipe_keep = pipes[1].pipe_keep = keep_limit;
    read_pipes(pipes, 2, timeout_ms, &start, errors);
    for (int i = 0; i < 2; i++) {
        exec_stream_t *stream = i == 0 ? out : err;
        stream->data = pipes[i].pipe_data;
        stream->len = static_cast<size_t>(pipes[i].pipe_datasz);
        stream->dropped = pipes[i].pipe_dropped;
    }

    tuvod_exec_state_t state = wait_for_contract(
        script, ctid, pid, timeout_remaining(timeout_ms, &start), exit_status, errors);
    end_contract(tmpl_fd, errors);
    if (refused) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr,
                "'%s' for '%s' changed after it was checked; not run", path,
                script->script_name.c_str());
        return TUVOD_EXEC_SCRIPT_INVALID;
    }
    return state;
}

tuvod_exec_state_t execute_command_capped(tuvod_script_t *script, const char **argv,
                                          size_t keep_limit, exec_stream_t *out,
                                          exec_stream_t *err, int *exit_status,
                                          tuvod_error_t **errors) {
    // Checked again here, after any wait for the script's turn and right
    // before the fork, on the very file the child will start.
    checked_script_t checked;
    if (check_script_file(script, &checked, errors) != 0)
        return TUVOD_EXEC_SCRIPT_INVALID;
    return execute_checked_command(script, &checked, argv, keep_limit, out, err, exit_status,
                                   errors);
}

tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   size_t *out_len, char **err_str, size_t *err_len,
                                   int *exit_status, tuvod_error_t **errors) {
    exec_stream_t out, err;
    out.data = *out_str;
    err.data = *err_str;
    tuvod_exec_state_t state = execute_command_capped(script, argv, 0, &out, &err, exit_status, errors);
    *out_str = out.data;
    *err_str = err.data;
    if (out_len != nullptr)
        *out_len = out.len;
    if (err_len != nullptr)
        *err_len = err.len;
    return state;
}

tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   char **err_str, int *exit_status, tuvod_error_t **errors) {
    return execute_command(script, argv, out_str, nullptr, err_str, nullptr, exit_status, errors);
}
