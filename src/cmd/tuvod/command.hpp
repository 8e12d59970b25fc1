// One accepted command: its values, running it within its bounds, storing
// its outcome, writing its execution-log record and retiring its row.
// Synchronous requests and asynchronous runs share every step here; how
// they wait for their turn and who answers the client is theirs.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "argv.hpp"
#include "handles.hpp"
#include "runs.hpp"
#include "state.hpp"

// One accepted command and the values its records are made of.
struct tuvod_cmd_t {
    tuvod_state_t *tuvod = nullptr;
    std::string uuid;
    tuvod_script_ref script; // keeps the record alive until the command ends
    argv_ptr argv;
    json_ptr redacted;
    cstr_ptr start;
    std::string caller; // who asked, from the connection
    std::unique_ptr<run_registration> registration; // what a cancel finds
};

// Runs the command (its turn at the gate already taken) and fills
// output_js: exit status, then each stream bounded to the stored limit. A
// command cancelled before its turn never starts (DIED).
tuvod_exec_state_t run_command(tuvod_cmd_t *cmd, json_t *output_js, tuvod_error_t **errors);

// Records the command's outcome, trying up to attempts times (fewer once
// *stopping is set). A large output is held twice at most: its JSON strings
// are let go while the row is written from the text (the row's copy is the
// second), then rebuilt from that text. 0, or -1 with the failure on errors.
int store_outcome(tuvod_cmd_t *cmd, tuvod_exec_state_t state, json_t *output_js,
                  tuvod_error_t **errors, cstr_ptr *finish, int attempts = 1,
                  const std::atomic<bool> *stopping = nullptr);

// Writes the execution-log record from the values in hand; finish none:
// the time now.
void log_outcome(tuvod_cmd_t *cmd, tuvod_exec_state_t state, json_t *output_js,
                 tuvod_error_t *errors, const char *finish);

// Ends the life of a finished command's record; 0, or -1 (logged).
int retire_record(tuvod_state_t *tuvod, const char *uuid);

// Sets "state" in the response's "result" object; 0, or -1 without one.
int set_resp_state(json_t *resp_js, tuvod_exec_state_t state);
