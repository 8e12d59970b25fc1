// The operation table and the operations (execute, list, get, clear).
#pragma once

#include <pthread.h>

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

// Ends every asynchronous run still going at shutdown: runs still waiting
// for their turn are recorded "LOST" without starting; running ones have
// their groups killed and record themselves "LOST" (their end is unknown).
// Waits a bounded time for every run thread; after it returns no run
// thread uses the database (one that did not end in time has its row
// marked here and records nothing). Call once no request handler runs any
// more (workers and legacy requests stopped) and before the database is
// closed.
void async_runs_stop(tuvod_state_t *tuvod);

// How run threads are created; replaceable so that tests can make it fail.
extern int (*tuvod_exec_thread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                       void *);

// Whether the caller in scope may see the record uuid: a record started over
// TLS only by the same identity, and a TLS caller only its own records. True
// when there is no such record (the operation reports that itself).
bool tuvod_record_visible(tuvod_state_t *tuvod, const char *uuid);
// Asynchronous runs started and not yet ended (waiting or running).
int async_runs_live();

// Ends a running command through its kill escalation (operator module).
void handle_cancel_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors);
// The daemon's figures (operator module).
void handle_status_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors);
