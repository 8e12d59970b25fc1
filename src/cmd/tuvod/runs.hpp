// Runs in progress, by request identifier: what a cancel request finds and
// ends, and what the status counts as running.
//
// A command is registered (run_registration) from its acceptance to its
// end, waiting for its turn included; the thread that runs it makes it its
// current run (current_run_scope), so the command execution notices a
// cancel while it waits for output or for the group to empty. A cancel
// only marks the run and wakes that thread, which carries out the kill
// escalation, so the cancel request is answered at once. A run cancelled
// before its turn never starts.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "handles.hpp"
#include "state.hpp"

struct tuvod_run_t {
    std::string request_uuid;
    std::string caller; // who started it, as its record says
    tuvod_script_ref script;
    unique_fd wake;                  // eventfd, readable once cancelled
    std::atomic<bool> cancelled{false};
    std::atomic<bool> by_shutdown{false}; // cancelled by the daemon's shutdown, not a request
    std::mutex mutex;
    std::string cancelled_by;        // guarded by mutex; the cancelling request
};
using tuvod_run_ref = std::shared_ptr<tuvod_run_t>;

// Registers a command for its lifetime. A registration that cannot be
// made (memory, descriptors, a repeated identifier) leaves the command
// without one: it runs, but cannot be cancelled.
class run_registration {
  public:
    run_registration(const char *request_uuid, tuvod_script_ref script, std::string caller = {});
    ~run_registration();
    run_registration(const run_registration &) = delete;
    run_registration &operator=(const run_registration &) = delete;
    tuvod_run_t *run() const { return run_.get(); }

  private:
    tuvod_run_ref run_;
};

// Makes run (may be none) the calling thread's current run while it lives.
class current_run_scope {
  public:
    explicit current_run_scope(tuvod_run_t *run);
    ~current_run_scope();
    current_run_scope(const current_run_scope &) = delete;
    current_run_scope &operator=(const current_run_scope &) = delete;

  private:
    tuvod_run_t *previous_;
};

// The run registered on the calling thread, or none.
tuvod_run_t *current_run();
// Its wake descriptor (-1 without one), and whether it was cancelled.
int current_run_wake_fd();
bool current_run_cancelled();
// The identifier of the request that cancelled run ("" when not cancelled).
std::string run_cancelled_by(tuvod_run_t *run);
// Pushes the error entry of a cancelled run (request uuid): who ended it.
void set_cancel_err(tuvod_run_t *run, const char *uuid, tuvod_error_t **errors);

// The run of a request identifier, or none.
tuvod_run_ref find_run(const char *request_uuid);
// Marks the run cancelled by request by and wakes its thread; false when it
// was cancelled already.
bool cancel_run(tuvod_run_t *run, const char *by);
// Runs registered now.
size_t runs_in_progress();
