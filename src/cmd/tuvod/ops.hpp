// The operation table and the operations (execute, list, get, clear).
#pragma once

#include "tuvod.hpp"

// The handler of an operation name, or none. No side effects, no lock.
tuvod_op_handler_fn_t tuvod_op_fn(const char *op);

void handle_exec_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors);
void handle_list_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors);
void handle_get_req(tuvod_state_t *tuvod, const char *cmd_uuid, json_t *req_js, json_t *resp_js,
                    tuvod_error_t **errors);
void handle_clear_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                      tuvod_error_t **errors);

// Ends every asynchronous run still going at shutdown: their groups are
// killed and each records "LOST" (its end is unknown). Waits, bounded, until
// no asynchronous run can touch the database any more.
void async_runs_stop(tuvod_state_t *tuvod);
// Asynchronous runs started and not yet ended (waiting or running).
int async_runs_live();

// Ends a running command through its kill escalation (operator module).
void handle_cancel_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors);
// The daemon's figures (operator module).
void handle_status_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors);
