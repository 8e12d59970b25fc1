// Deadman timers: a thread that ends (or warns about) a phase that hangs.
#pragma once

#include "state.hpp"

tuvod_deadman_t *tuvod_start_deadman(tuvod_state_t *tuvod, int timeout_s,
                                     tuvod_deadman_action_t action, const char *name,
                                     const char *msg);
void tuvod_deadman_reset(tuvod_deadman_t *id, int timeout_s, const char *msg);
void tuvod_stop_deadman(tuvod_deadman_t *id);
