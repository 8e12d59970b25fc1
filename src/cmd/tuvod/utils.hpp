// Small shared routines: time stamps, counters, identifiers, the stopwatch,
// state names, set_err, request argument vectors and the file tail.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstddef>
#include <string>
#include <vector>
#include <cstdint>

#include "handles.hpp"
#include "tuvod.hpp"

// New JSON string with the local time stamp ("%Y-%m-%dT%H:%M:%S.uuuuuu+hhmm"), or none.
json_t *json_time(const struct timeval *time_tv);
json_t *json_now();
// The same time stamp as malloc'd text, or none.
char *time_str(const struct timeval *time_tv);

// Change a counter under daemon_mutex and broadcast daemon_cv; return the old value.
unsigned tuvod_incr_counter(tuvod_state_t *tuvod, unsigned *counter);
unsigned tuvod_decr_counter(tuvod_state_t *tuvod, unsigned *counter);

// New 36-character lower-case UUID text (caller frees), or none.
char *generate_uuid_str();
// New JSON string holding a fresh UUID (caller owns the reference).
json_t *generate_uuid_js();

void stopwatch_start(tuvod_sw_t *sw);
const char *stopwatch_str(tuvod_sw_t *sw);
// The reading for a given clock value; exposed so the borrow can be tested.
const char *stopwatch_str_at(tuvod_sw_t *sw, const struct timespec *now);

// The real-time clock ms milliseconds from now (0 <= ms < 1000), as the
// deadline of a timed condition wait.
struct timespec realtime_after_ms(long ms);

const char *tuvod_exec_res_str(tuvod_exec_state_t exec_res);

// The local system's text for a wire error code.
const char *wire_strerror(int error_code);

// Pushes an entry (see error.hpp) and logs "<strerror> : <message>" at lvl.
int set_err(info_level_t lvl, tuvod_error_t **errors, int error_code, json_t *error_data_js,
            const char *format, ...) __attribute__((format(printf, 5, 6)));

// Locks a pthread mutex for a scope; a failure to lock or unlock is fatal
// (logged at INFO_CRITICAL).
class mutex_guard {
  public:
    explicit mutex_guard(pthread_mutex_t *m);
    ~mutex_guard();
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

  private:
    pthread_mutex_t *m_;
};

// ---- Request arguments and redaction ----

// New NULL-terminated argument vector of copies of a JSON array's strings, or none.
char **argv_from_json_array(json_t *argv_js);
void free_argv(char **argv);
// New JSON array of the vector's strings, masked by redact; or none.
json_t *redacted_argv_json(char **argv, int redact);
// Writes the command description of props_js["argv"] into buf; returns buf or "...".
const char *cmd_desc_for_exec_req(json_t *props_js, int redact_argv, char *buf, size_t bufsz);

// The texts of the secret arguments of a command line (empty ones left
// out): what no listing of the command's processes may show.
std::vector<std::string> secret_args(const char *const *argv, int redact);
// text with every occurrence of a secret replaced by "********".
std::string mask_secrets(const std::string &text, const std::vector<std::string> &secrets);
// A copy of a request (or of its "args") for tracing: "authority" replaced
// by "********" and the elements of the "argv" array masked by redact
// (every argument after the first when redact is -1). New reference, or none.
json_t *request_for_trace(const json_t *req_js, int redact);

struct argv_deleter {
    void operator()(char **argv) const noexcept { free_argv(argv); }
};
using argv_ptr = std::unique_ptr<char *, argv_deleter>;

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0: the
// JSON library's rules (no overlong forms, surrogates or values past
// U+10FFFF).
size_t utf8_sequence_length(const unsigned char *p, size_t n);

// New JSON string holding every byte of data (NUL bytes included), with each
// byte that is not part of valid UTF-8 replaced by U+FFFD; "" for none.
json_t *json_string_lossy(const char *data, size_t len);

// Takes away every permission bit of an existing regular file that max
// does not hold (the path's final link is not followed), with a warning
// when warn is set. 0 when the file is missing or already narrow enough, 1
// when narrowed, -1 on failure (logged).
int narrow_file_mode(const char *path, mode_t max, bool warn = true);
int narrow_fd_mode(int fd, const char *path, mode_t max, bool warn = true);
// ---- Time-out arithmetic ----

// Seconds as milliseconds in 64 bits, saturating instead of overflowing.
int64_t ms_from_seconds(int64_t seconds);
// A wait in milliseconds as one poll() can take it: negative waits are 0,
// longer ones are cut to INT_MAX (the caller polls again for the rest).
int poll_timeout_ms(int64_t ms);

// ---- File tail ----

// JSON array of the last n_lines non-empty lines of a file, oldest first;
// JSON null only when the array cannot be made.
json_t *file_tail_json(const char *filename, size_t n_lines);
