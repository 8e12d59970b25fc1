// Collecting a command's output from its pipes (see pipes.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <thread>

#include "error.hpp"
#include "handles.hpp"
#include "state.hpp"

// Collection state of one pipe.
struct pipe_desc_t {
    const char *pipe_name = nullptr; // "stdout" or "stderr"
    int pipe_fd = -1;                // read end (borrowed)
    char *pipe_data = nullptr;       // malloc'd, or none
    ssize_t pipe_datasz = 0;
    ssize_t pipe_bufsz = 0;
    size_t pipe_keep = 0;    // bytes kept at most; 0: the built-in limit
    size_t pipe_dropped = 0; // bytes read beyond pipe_keep
    bool pipe_done = false;  // reached end of file, or reading failed
};

// Milliseconds left of initial_timeout since start (monotonic), never negative.
int64_t timeout_remaining(int64_t initial_timeout, struct timespec *start);
// Reads every pipe until each reaches end of file, the time runs out or the
// calling thread's run is cancelled. At most 8 pipes.
void read_pipes(pipe_desc_t *pipe_descs, int n_pipe_descs, int64_t initial_timeout,
                struct timespec *start, tuvod_error_t **errors);

// Goes on reading the pipes read_pipes left open, on a thread of its own,
// while the caller stops the command; finish() (or the destructor, which
// drops the errors) stops it and reads once more what the pipes hold. The
// pipes are the caller's and must outlive the object; they are not touched
// by the caller in between.
class pipe_drain {
  public:
    pipe_drain(pipe_desc_t *pipes, int n);
    ~pipe_drain();
    pipe_drain(const pipe_drain &) = delete;
    pipe_drain &operator=(const pipe_drain &) = delete;
    // Errors met while reading go on top of *errors.
    void finish(tuvod_error_t **errors);

  private:
    void drain();

    pipe_desc_t *pipes_;
    int n_;
    unique_fd stop_; // eventfd: readable once finish() is called
    std::thread thread_;
    error_stack errors_; // the thread's own until finish()
};
