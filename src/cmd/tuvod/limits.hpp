// Bounds on what clients can make the daemon hold: queued requests, asynchronous
// runs and stored output. Read once from the daemon configuration at start-up.
#pragma once

#include "config_check.hpp"
#include "state.hpp"

// Descriptors kept free of connections: database, logs, legacy clients,
// the pipes of running scripts.
constexpr unsigned LIMIT_SPARE_DESCRIPTORS = 256;

// Sets the state's bounds from the configuration; a missing key keeps the
// default, a value out of range is logged and the default kept.
void tuvod_load_limits(tuvod_state_t *tuvod);

// Raises the soft descriptor limit to the hard one when it is lower, and
// lowers maxConnections (with a warning) when the connections and the spare
// descriptors still do not fit.
void tuvod_fit_descriptors(tuvod_state_t *tuvod);
