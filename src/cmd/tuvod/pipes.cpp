// Collecting a command's output: both pipes read as data arrives, each
// kept up to its limit, until end of file, the time-out or a cancel; then,
// while the command is being stopped, on a thread of its own (pipe_drain),
// so that what a script prints as it is stopped is kept too.
#include "pipes.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "error.hpp"
#include "info.hpp"
#include "runs.hpp"
#include "utils.hpp"

namespace {

constexpr ssize_t first_bufsz = 4096;
constexpr ssize_t max_output = 1073741824; // 1 GiB, final NUL included

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
        if (read_ready_pipe(&pipe_descs[i], remaining, errors)) {
            pipe_descs[i].pipe_done = true;
            finish_pipe(&pfds[i], n_finished);
        }
    }
}

} // namespace

void read_pipes(pipe_desc_t *pipe_descs, int n_pipe_descs, int64_t initial_timeout,
                struct timespec *start, tuvod_error_t **errors) {
    struct pollfd pfds[9];
    n_pipe_descs = n_pipe_descs > 8 ? 8 : n_pipe_descs;
    int n_finished = 0;
    for (int i = 0; i < n_pipe_descs; ++i) {
        pfds[i] = {pipe_descs[i].pipe_done ? -1 : pipe_descs[i].pipe_fd, POLLIN | POLLHUP, 0};
        n_finished += pipe_descs[i].pipe_done ? 1 : 0;
    }
    // A cancel of this thread's run ends the collection as a time-out would.
    pfds[n_pipe_descs] = {current_run_wake_fd(), POLLIN, 0};
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


namespace {

// Reads every pipe that is still open and holds data now, without waiting;
// at most rounds passes (a writer that keeps writing cannot hold it).
void read_pipes_now(pipe_desc_t *pipes, int n, int rounds, tuvod_error_t **errors) {
    struct pollfd pfds[8];
    n = n > 8 ? 8 : n;
    for (int round = 0; round < rounds; ++round) {
        int open = 0;
        for (int i = 0; i < n; ++i) {
            pfds[i] = {pipes[i].pipe_done ? -1 : pipes[i].pipe_fd, POLLIN | POLLHUP, 0};
            open += pipes[i].pipe_done ? 0 : 1;
        }
        if (open == 0 || poll(pfds, static_cast<nfds_t>(n), 0) <= 0)
            return;
        int finished = 0;
        read_ready_pipes(pipes, pfds, n, 0, &finished, errors);
    }
}

// Puts the entries of from (newest first) on top of *to.
void splice_errors(tuvod_error_t **to, tuvod_error_t **from) {
    if (*from == nullptr)
        return;
    tuvod_error_t *last = *from;
    while (last->next != nullptr)
        last = last->next;
    last->next = *to;
    *to = *from;
    *from = nullptr;
}

} // namespace

pipe_drain::pipe_drain(pipe_desc_t *pipes, int n) : pipes_(pipes), n_(n > 8 ? 8 : n) {
    bool open = false;
    for (int i = 0; i < n_; ++i)
        open = open || !pipes_[i].pipe_done;
    if (!open)
        return;
    stop_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_)
        return;
    try {
        thread_ = std::thread([this] { drain(); });
    } catch (const std::system_error &) {
        // No thread: what the pipes hold is still read when the command has ended.
        PRINT_INFO(INFO_WARN, "No thread to read output while a command is stopped\n");
    }
}

pipe_drain::~pipe_drain() {
    error_stack lost;
    finish(lost.ptr());
}

void pipe_drain::drain() {
    struct pollfd pfds[9];
    for (;;) {
        int open = 0;
        for (int i = 0; i < n_; ++i) {
            pfds[i] = {pipes_[i].pipe_done ? -1 : pipes_[i].pipe_fd, POLLIN | POLLHUP, 0};
            open += pipes_[i].pipe_done ? 0 : 1;
        }
        if (open == 0)
            return;
        pfds[n_] = {stop_.get(), POLLIN, 0};
        int rc = poll(pfds, static_cast<nfds_t>(n_ + 1), -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (pfds[n_].revents & POLLIN) != 0)
            return;
        int finished = 0;
        read_ready_pipes(pipes_, pfds, n_, 0, &finished, errors_.ptr());
    }
}

void pipe_drain::finish(tuvod_error_t **errors) {
    if (thread_.joinable()) {
        uint64_t one = 1;
        if (write(stop_.get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one))
            PRINT_INFO(INFO_ERROR, "Unable to stop the output reader: %s\n", strerror(errno));
        thread_.join();
    }
    // What the command wrote last, still in the pipes.
    read_pipes_now(pipes_, n_, 64, errors_.ptr());
    for (int i = 0; i < n_; ++i)
        if (pipes_[i].pipe_data != nullptr)
            pipes_[i].pipe_data[pipes_[i].pipe_datasz] = '\0';
    splice_errors(errors, errors_.ptr());
    n_ = 0;
}
