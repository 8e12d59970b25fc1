// Retention of finished command records: one thread removes records in a
// final state older than "resultRetentionSeconds" of the daemon
// configuration (default 0: kept until collected), in batches, at
// start and then periodically. It is stopped before the database closes.
#pragma once

#include "state.hpp"

// Nothing is removed unless the administrator asks: an uncollected result
// may be the only account of what a script did.
inline constexpr long long TUVOD_DEFAULT_RETENTION_S = 0;

// The configured retention in seconds (0: for ever); a value that is not
// a non-negative integer gives the default, with a warning.
long long tuvod_retention_seconds(tuvod_state_t *tuvod);
// Seconds between sweeps for a retention: half of it, from 1 s to an hour.
long long tuvod_sweep_interval(long long retention_s);
// One whole sweep (every batch); the number of records removed, or -1.
int tuvod_sweep_once(tuvod_state_t *tuvod, long long retention_s);

// Starts the sweep thread unless records are kept for ever. 0 or -1.
int tuvod_start_retention(tuvod_state_t *tuvod);
// Stops and joins it (no-op when not started).
void tuvod_stop_retention();
