// Bounds on what clients can make the daemon hold: queued requests, asynchronous
// runs and stored output. Read once from the daemon configuration at start-up.
#pragma once

#include "state.hpp"

// Configuration keys and their bounds.
constexpr const char *LIMIT_KEY_QUEUED_REQUESTS = "maxQueuedRequests";
constexpr const char *LIMIT_KEY_QUEUED_BYTES = "maxQueuedBytes";
constexpr const char *LIMIT_KEY_ASYNC_RUNS = "maxAsyncRuns";
constexpr const char *LIMIT_KEY_OUTPUT_BYTES = "maxOutputBytes";

// Sets the state's bounds from the configuration; a missing key keeps the
// default, a value out of range is logged and the default kept.
void tuvod_load_limits(tuvod_state_t *tuvod);
