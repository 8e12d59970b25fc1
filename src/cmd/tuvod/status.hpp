// What the daemon is doing, for the status operation, the metrics and the
// service manager's status line: the counters, and figures read from the
// modules that own them under their locks.
#pragma once

#include <string>

#include "handles.hpp"
#include "state.hpp"

// Figures owned by other modules, read under their locks.
int tuvod_queued_requests(tuvod_state_t *tuvod);
int tuvod_async_runs();
int tuvod_scripts_loaded(tuvod_state_t *tuvod);

// The whole status as the status operation answers it (a new object).
json_ptr tuvod_status_json(tuvod_state_t *tuvod);
// Reads the figures that come from the database (the finished records
// waiting to be collected) for the report; called once per main-loop pass,
// never from the thread that answers status.
void tuvod_status_refresh(tuvod_state_t *tuvod);
// One line for people: scripts loaded, runs, queue.
std::string tuvod_status_summary(tuvod_state_t *tuvod);
