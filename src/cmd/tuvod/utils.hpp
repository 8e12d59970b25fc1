// Small shared routines of time and turn-taking: time stamps, one monotonic
// clock, stopwatches, deadlines, time-out arithmetic, identifiers, counters
// under the daemon mutex, and the scoped pthread lock.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "state.hpp"

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

// Milliseconds of the monotonic clock: the one clock for intervals and
// deadlines that the wall clock must not move.
int64_t monotonic_ms();

// Monotonic seconds since construction.
class run_stopwatch {
  public:
    run_stopwatch();
    double seconds() const;

  private:
    struct timespec start_ {};
};

// The real-time clock ms milliseconds from now (0 <= ms < 1000), as the
// deadline of a timed condition wait.
struct timespec realtime_after_ms(long ms);

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

// ---- Time-out arithmetic ----

// Seconds as milliseconds in 64 bits, saturating instead of overflowing.
int64_t ms_from_seconds(int64_t seconds);
// A wait in milliseconds as one poll() can take it: negative waits are 0,
// longer ones are cut to INT_MAX (the caller polls again for the rest).
int poll_timeout_ms(int64_t ms);
