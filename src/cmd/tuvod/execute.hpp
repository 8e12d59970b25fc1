// Running one configured script in its own contract, collecting its output
// under its time-out.
//
// The child is forked from a threaded daemon, so between the fork and execv
// it makes only async-signal-safe calls and never logs or allocates. Output
// collection and the contract wait share one budget: the script's time-out.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "state.hpp"

// Runs script with the NULL-terminated argv, after checking its file again
// (TUVOD_EXEC_SCRIPT_INVALID when the check fails). When the child was started,
// *out_str and *err_str receive the collected output (malloc'd, NUL after
// the last byte, owned by the caller; none for a stream never read);
// otherwise they are left untouched. *exit_status is written only for
// TUVOD_EXEC_COMPLETE. Failures are pushed on errors.
tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   char **err_str, int *exit_status, tuvod_error_t **errors);

// The same, also giving the byte counts of the outputs, which may hold NUL
// bytes of their own. The lengths are written with the strings.
tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   size_t *out_len, char **err_str, size_t *err_len,
                                   int *exit_status, tuvod_error_t **errors);

// One collected output stream: data (malloc'd, NUL after the last byte,
// owned by the caller; none when never read), its length, and how many
// further bytes the script wrote that were read and dropped.
struct exec_stream_t {
    char *data = nullptr;
    size_t len = 0;
    size_t dropped = 0;
};

// The same, keeping at most keep_limit bytes of each stream (0: no limit
// but the built-in one); the rest is still read, so the script is not
// blocked, and counted in dropped.
tuvod_exec_state_t execute_command_capped(tuvod_script_t *script, const char **argv,
                                          size_t keep_limit, exec_stream_t *out,
                                          exec_stream_t *err, int *exit_status,
                                          tuvod_error_t **errors);

struct checked_script_t;
// Exposed for tests: the run of a file already checked (check_script_file).
// The child starts that file only while it is unchanged; otherwise the run
// ends TUVOD_EXEC_SCRIPT_INVALID.
tuvod_exec_state_t execute_checked_command(tuvod_script_t *script, checked_script_t *checked,
                                           const char **argv, size_t keep_limit,
                                           exec_stream_t *out, exec_stream_t *err,
                                           int *exit_status, tuvod_error_t **errors);

// Collection state of one pipe.
struct pipe_desc_t {
    const char *pipe_name = nullptr; // "stdout" or "stderr"
    int pipe_fd = -1;                // read end (borrowed)
    char *pipe_data = nullptr;       // malloc'd, or none
    ssize_t pipe_datasz = 0;
    ssize_t pipe_bufsz = 0;
    size_t pipe_keep = 0;    // bytes kept at most; 0: the built-in limit
    size_t pipe_dropped = 0; // bytes read beyond pipe_keep
};

// Exposed for tests.
// Milliseconds left of initial_timeout since start (monotonic), never negative.
int64_t timeout_remaining(int64_t initial_timeout, struct timespec *start);
// Reads every pipe until each reaches end of file or the time runs out.
void read_pipes(pipe_desc_t *pipe_descs, int n_pipe_descs, int64_t initial_timeout,
                struct timespec *start, tuvod_error_t **errors);
