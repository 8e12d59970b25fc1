// The legacy request gateway on loopback port 4562, served on the main thread.
#pragma once

#include <cstddef>

#include "tuvod.hpp"

int tuvo_legacy_start(tuvod_state_t *tuvod);
int tuvo_legacy_poll(tuvod_state_t *tuvod);
void tuvo_legacy_stop(tuvod_state_t *tuvod);

// A new execute request for a command line (the text ends at its first NUL
// or after req_buf_sz bytes), or none when an argument cannot be held.
json_t *tuvo_legacy_request_json(const char *uuid_str, char *req_buf, size_t req_buf_sz);
