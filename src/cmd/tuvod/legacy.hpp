// The legacy request gateway on loopback port 4562: accepted on the main
// thread, each connection served on a thread of its own.
#pragma once

#include <cstddef>

#include "state.hpp"

int tuvo_legacy_start(tuvod_state_t *tuvod);
// One main-loop pass on the main thread: waits at most one second, with
// SIGTERM and SIGHUP unblocked only during the wait (they end it at once),
// and starts serving at most one new client. -1 when the gateway itself
// has failed; otherwise what ended the wait, and the loop carries on.
enum tuvo_poll_result : int { TUVO_POLL_IDLE = 0, TUVO_POLL_CLIENT = 1, TUVO_POLL_SIGNAL = 2 };
int tuvo_legacy_poll(tuvod_state_t *tuvod);
// Stops taking clients: closes the listening socket.
void tuvo_legacy_stop(tuvod_state_t *tuvod);
// Waits for the requests being served to finish and joins their threads.
void tuvo_legacy_wait(tuvod_state_t *tuvod);

// A new execute request for a command line (the text ends at its first NUL
// or after req_buf_sz bytes), or none when an argument cannot be held.
json_t *tuvo_legacy_request_json(const char *uuid_str, char *req_buf, size_t req_buf_sz);
