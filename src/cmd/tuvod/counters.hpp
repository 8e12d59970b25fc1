// Counters kept as things happen, for the status report: per-script run
// tallies (by script name, so they survive reloads), the last reload's
// outcome and the workers busy now. Each has its own lock or is atomic;
// none is held while another lock is taken.
#pragma once

#include "handles.hpp"
#include "wire.hpp"

// Counts one run of the script name that ended in state after seconds.
void tuvod_count_run(const char *name, tuvod_exec_state_t state, double seconds);
// Notes the outcome of a reload of the script configurations and how many
// files it left out.
void tuvod_note_reload(bool ok, int skipped = 0);
// Counts an execute refused before anything ran (a malformed request, an
// unknown script, an authority, caller or file check, a full queue).
void tuvod_count_refusal();

// Counts a worker as busy for its lifetime.
class busy_worker {
  public:
    busy_worker();
    ~busy_worker();
    busy_worker(const busy_worker &) = delete;
    busy_worker &operator=(const busy_worker &) = delete;
};

// The tallies by script name, the last reload, and the busy workers, as the
// status report shows them (new objects; none when memory runs out).
json_ptr counters_scripts_json();
json_ptr counters_reload_json();
int busy_worker_count();
long long refused_request_count();
