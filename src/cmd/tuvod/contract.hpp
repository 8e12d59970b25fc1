// Process contracts: the group every command runs in, waiting for it to
// empty under the time-out, and the kill escalation when it does not.
//
// Per command, on the thread that runs it: activate_contract (creates the
// group as this thread's template) -> contract_fork (the child is born into
// it; it becomes this thread's latest contract) -> latest_ctid ->
// wait_for_contract -> end_contract (clears the template and abandons the
// contract). Templates and "latest" are per thread, so any number of threads
// may run commands at once. Contracts are looked up by identifier in a table
// with its own mutex; an identifier the table does not hold is never
// signalled or waited for.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "spawn.hpp"
#include "state.hpp"

// Contract identifier: positive, assigned by the daemon.
using ctid_t = int32_t;

// Prepares a new group as the calling thread's template. Returns the
// template descriptor (owned by the caller until end_contract or
// clear_contract_template), or -1 after pushing an error.
int activate_contract(tuvod_script_t *script, tuvod_error_t **errors);

// Forks into the calling thread's template, like fork(): 0 in the child
// (async-signal-safe calls only from there on), the child's PID in the
// parent, -1 with errno when no template is active or the fork failed.
pid_t contract_fork();
// Starts fn(arg) in a child born into the calling thread's template that
// shares the daemon's memory until it execs (see spawn.hpp): fn may call
// only async-signal-safe functions and must exec or _exit. The child's PID
// once it has exec'd or exited, or -1 with errno.
pid_t contract_spawn(spawn_child_fn fn, void *arg);

// Called on the calling thread by contract_fork right after a child is
// born into a new contract (it runs already), with ctx and the contract's
// identifier; none to stop. Lets the owner of a run reach its contract
// from another thread.
using contract_fork_hook_t = void (*)(void *ctx, ctid_t ctid);
void contract_set_fork_hook(contract_fork_hook_t hook, void *ctx);

// Sends sig to every member of a live contract; callable from any thread.
// 0, or -1 when the contract is no longer held.
int contract_signal(ctid_t ctid, int sig);

// Identifier of the calling thread's newest contract, or -1 after pushing
// an error.
ctid_t latest_ctid(tuvod_error_t **errors);

// Clears the calling thread's template and closes fd, without abandoning
// anything (for a fork that failed). 0, or -1 when fd was not the active
// template (it is closed all the same).
int clear_contract_template(int fd);

// Clears and closes the template fd, then abandons the calling thread's
// newest contract. 0 or -1 (errors pushed).
int end_contract(int fd, tuvod_error_t **errors);

// Waits up to timeout ms for contract ctid to empty, collects the direct
// child pid and escalates on time-out. Writes *exit_status only for
// TUVOD_EXEC_COMPLETE.
tuvod_exec_state_t wait_for_contract(tuvod_script_t *script, ctid_t ctid, pid_t pid, int64_t timeout,
                                     int *exit_status, tuvod_error_t **errors);

// Records the secret arguments of the command running in contract ctid
// (argv masked by redact), so that its listings and statistics mask them.
void set_contract_secrets(ctid_t ctid, const char *const *argv, int redact);

// Exposed for tests: the member listing and statistics of a live contract
// (either out-parameter may be none; text is malloc'd, the object a new
// reference). 0 or -1.
int contract_state(ctid_t ctid, char **members_str, json_t **members_js);
