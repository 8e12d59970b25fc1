// The worker pool: each worker takes jobs from the queue, checks the request
// envelope, calls the operation handler and sends the response.
#pragma once

#include <cstddef>

#include "state.hpp"

int tuvod_start_workers(tuvod_state_t *tuvod, unsigned int n_workers);
int tuvod_wait_for_workers_shutdown(tuvod_state_t *tuvod);
int tuvod_free_workers(tuvod_state_t *tuvod);

// What a worker does with one request body (read up to its first NUL or
// body_sz bytes): a new reference to the response it would send, or none
// when the body is not JSON or no response can be built (nothing is sent
// then). Runs the operation on the calling thread.
json_t *tuvod_handle_request(tuvod_state_t *tuvod, const char *body, size_t body_sz);

// The operation lookup the workers use (tuvod_op_fn); replaceable so that
// tests can inject a handler that fails.
extern tuvod_op_handler_fn_t (*tuvod_op_lookup)(const char *op);
