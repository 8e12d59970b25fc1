// What the daemon is doing, for the status operation, the metrics and the
// service manager's status line: counters kept as things happen, and
// figures read from the modules that own them.
//
// Counters survive reloads (per script name) and start at zero with the
// process. Each has its own lock or is atomic; none is held while another
// lock is taken.
#pragma once

#include <ctime>
#include <string>

#include "handles.hpp"
#include "tuvod.hpp"

// Counts one run of the script name that ended in state after seconds.
void tuvod_count_run(const char *name, tuvod_exec_state_t state, double seconds);
// Notes the outcome of a reload of the script configurations.
void tuvod_note_reload(bool ok);

// Monotonic seconds since construction.
class run_stopwatch {
  public:
    run_stopwatch();
    double seconds() const;

  private:
    struct timespec start_ {};
};

// Counts a worker as busy for its lifetime.
class busy_worker {
  public:
    busy_worker();
    ~busy_worker();
    busy_worker(const busy_worker &) = delete;
    busy_worker &operator=(const busy_worker &) = delete;
};

// Figures owned by other modules, read under their locks.
int tuvod_queued_requests(tuvod_state_t *tuvod);
int tuvod_async_runs();
int tuvod_scripts_loaded(tuvod_state_t *tuvod);

// The whole status as the status operation answers it (a new object).
json_ptr tuvod_status_json(tuvod_state_t *tuvod);
// One line for people: scripts loaded, runs, queue.
std::string tuvod_status_summary(tuvod_state_t *tuvod);
