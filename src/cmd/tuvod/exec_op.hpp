// The execute operation (see exec_op.cpp).
#pragma once

#include "state.hpp"

// Runs a configured script for the request uuid, synchronously (the answer
// carries the outcome) or asynchronously (the answer says "RUNNING").
void handle_exec_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors);
