// Asynchronous runs: accepted within a bound, served by threads of their
// own, handed from run to run at a non-concurrent script's gate, and ended
// in order at shutdown. See async.cpp for the design.
#pragma once

#include <cstdint>

#include <pthread.h>

#include "command.hpp"
#include "gate.hpp"
#include "state.hpp"

// Takes one of the "maxAsyncRuns" places; false when none is free or the
// daemon is stopping. An accepted run gives its place back when it ends.
bool reserve_async_slot(tuvod_state_t *tuvod);
void release_async_slot();

// Hands an accepted command (holding a place) to a thread now, or queues it
// at its gate, and answers "RUNNING". When no thread can be had, its
// record is removed, so that a retry with the same identifier is not taken
// for a repeat, and an error is pushed.
void start_async(tuvod_cmd_t cmd, json_t *resp_js, tuvod_error_t **errors, const char *desc);

// Leaves a gate a synchronous run held; a waiting asynchronous run handed
// over is started on a thread of its own (recorded FAILED when none can be
// had).
void async_gate_handoff(tuvod_run_gate_t *gate);

// Ends every asynchronous run still going at shutdown: runs still waiting
// for their turn are recorded "LOST" without starting; running ones go
// through their script's own kill escalation until kill_at_ms (monotonic;
// -1: ASYNC_ESCALATION_MS from now), then their groups are killed, and
// they record themselves "LOST" (their end is unknown). Waits a bounded
// time for every run thread; after it returns no run thread uses the
// database (one that did not end in time has its row marked here and
// records nothing). Call once no request handler runs any more (workers
// and legacy requests stopped) and before the database is closed.
inline constexpr int64_t ASYNC_ESCALATION_MS = 100000;
void async_runs_stop(tuvod_state_t *tuvod, int64_t kill_at_ms = -1);

// Asynchronous runs accepted and not yet ended (waiting or running).
int async_runs_live();

// How run threads are created; replaceable so that tests can make it fail.
extern int (*tuvod_exec_thread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                       void *);
