// The command execution log: one JSON record per command, written from the
// values the command's completion holds, appended whole (records of runs
// that end together share one write), and healed at open when a crash cut
// its last record short.
#pragma once

#include <jansson.h>

#include "state.hpp"

// Opens filename as the new execution log; the previous one is closed even
// when the open fails, and records then stop.
void set_exec_log_file(const char *filename);

// The values of one command's execution-log record, as the command's
// completion recorded them (all borrowed).
struct tuvod_cmd_log_t {
    const char *uuid = nullptr;
    const char *name = nullptr;
    json_t *args = nullptr;   // the redacted argument vector
    const char *state = nullptr;
    const char *start = nullptr;
    json_t *output = nullptr; // exit status, standard output and error
    json_t *errors = nullptr; // the command's error stack as JSON
    const char *finish = nullptr;
    const char *caller = nullptr; // who asked for the run; none: no "caller" member
};

// Writes the execution log record of one command from the values in hand,
// so no later change to its database row (a client retiring it) can cost
// the record.
void log_cmd(tuvod_state_t *tuvod, const tuvod_cmd_log_t *rec);

// Writes a JSON record to the execution log under its mutex (used by log_cmd).
// Returns false when no execution log is open.
bool exec_log_write(const json_t *record);
