// The legacy request gateway on loopback port 4562, served on the main thread.
#pragma once

#include "tuvod.hpp"

int tuvo_legacy_start(tuvod_state_t *tuvod);
int tuvo_legacy_poll(tuvod_state_t *tuvod);
void tuvo_legacy_stop(tuvod_state_t *tuvod);
