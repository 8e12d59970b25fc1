// The operation table and the operations on records (list, get, clear,
// cancel, status); execute is in exec_op.
#pragma once

#include "state.hpp"

// The handler of an operation name, or none. No side effects, no lock.
tuvod_op_handler_fn_t tuvod_op_fn(const char *op);

void handle_list_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors);
void handle_get_req(tuvod_state_t *tuvod, const char *cmd_uuid, json_t *req_js, json_t *resp_js,
                    tuvod_error_t **errors);
void handle_clear_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                      tuvod_error_t **errors);
// Ends a running command through its kill escalation.
void handle_cancel_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors);
// The daemon's figures.
void handle_status_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors);

// Whether the caller in scope may see the record uuid: a record started over
// TLS only by the same identity, and a TLS caller only its own records. True
// when there is no such record (the operation reports that itself).
bool tuvod_record_visible(tuvod_state_t *tuvod, const char *uuid);
