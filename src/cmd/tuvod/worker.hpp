// The worker pool: each worker takes jobs from the queue, checks the request
// envelope, calls the operation handler and sends the response.
#pragma once

#include "tuvod.hpp"

int tuvod_start_workers(tuvod_state_t *tuvod, unsigned int n_workers);
int tuvod_wait_for_workers_shutdown(tuvod_state_t *tuvod);
int tuvod_free_workers(tuvod_state_t *tuvod);
