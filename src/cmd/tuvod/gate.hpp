// The run gate of a script path: where runs of one script meet, and where a
// non-concurrent script's runs take turns in arrival order.
//
// Every record of a path shares one gate (a registry by path holds weak
// references), so a reload never opens a second gate beside a run still in
// progress. A synchronous request waits for its turn on the gate's condition
// variable; an asynchronous run waits as a queue entry and holds no thread:
// whoever leaves the gate is handed the next waiting asynchronous run and
// must serve it. Lock order: a caller that holds the asynchronous
// registry's lock may take a gate's, never the reverse.
#pragma once

#include <pthread.h>

#include <deque>
#include <memory>

#include "state.hpp"

struct tuvod_exec_args_t; // an asynchronous run (async module)

// One run waiting for its turn: an asynchronous run, or a synchronous
// request (run none) blocked on the gate's condition variable.
struct tuvod_gate_waiter_t {
    tuvod_exec_args_t *run = nullptr;
    bool queued = false; // in the gate's queue; guarded by the gate's mutex
};

struct tuvod_run_gate_t {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER; // broadcast when a waiting request may go
    unsigned running = 0;                         // guarded by mutex
    std::deque<tuvod_gate_waiter_t *> waiting;    // guarded by mutex

    tuvod_run_gate_t() = default;
    tuvod_run_gate_t(const tuvod_run_gate_t &) = delete;
    tuvod_run_gate_t &operator=(const tuvod_run_gate_t &) = delete;
    ~tuvod_run_gate_t() {
        pthread_cond_destroy(&cv);
        pthread_mutex_destroy(&mutex);
    }
};

// The gate of the script's path, shared with every record of that path
// that still exists; bound to the record on first use.
std::shared_ptr<tuvod_run_gate_t> tuvod_script_gate(tuvod_script_t *script);

// Waits for a synchronous run's turn (none for a concurrent script) and
// enters the gate.
void gate_enter_sync(tuvod_run_gate_t *gate, const tuvod_script_t *script);

// Enters the gate for an asynchronous run now (true), or queues its waiter
// behind the runs before it (false); from then on the run belongs to the
// gate until a leaving run is handed it.
bool gate_enter_async(tuvod_run_gate_t *gate, const tuvod_script_t *script,
                      tuvod_gate_waiter_t *waiter);

// Leaves the gate. With the gate free, the first waiter may go: a
// synchronous request is woken; an asynchronous run is taken off the queue
// and returned, holding the gate, for the caller to serve. With stopping
// set no asynchronous run is handed over (the shutdown records them).
tuvod_exec_args_t *gate_leave(tuvod_run_gate_t *gate, bool stopping);

// Takes a waiting asynchronous run off the queue at shutdown; true when it
// was still waiting (it never started). A synchronous request behind it is
// woken if the gate is free.
bool gate_withdraw(tuvod_run_gate_t *gate, tuvod_gate_waiter_t *waiter);
