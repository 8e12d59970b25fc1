// The daemon's request transport: the network edge (edge.hpp) bound to the
// configured addresses, cleartext on port 5557 and TLS when "tls" is
// configured. Workers take requests from it and answer through each
// request's token; its I/O thread reads and writes for every connection.
#pragma once

#include <chrono>
#include <optional>

#include "edge.hpp"
#include "state.hpp"

// Creates the transport and binds every configured address (failures are
// logged and skipped; none bound, or an unusable TLS configuration, is -1).
int tuvod_init_router(tuvod_state_t *tuvod);
// Answers requests the hook takes on the I/O thread. Before the start only.
void tuvod_router_set_fast_path(tuvod_state_t *tuvod, edge::fast_path_fn fn);
// Starts reading and writing.
int tuvod_start_router(tuvod_state_t *tuvod);
// The next request, waiting at most wait; none on time-out and once the
// transport stopped reading.
std::optional<edge::request> tuvod_router_take(tuvod_state_t *tuvod, std::chrono::milliseconds wait);
// Connections and queue, for the status report; zeros without a transport.
edge::counters tuvod_router_counters(tuvod_state_t *tuvod);
// Reads the TLS client CRL file again (SIGHUP); a failure keeps the
// previous list and is logged.
void tuvod_router_reload_crl(tuvod_state_t *tuvod);
// Shutdown, first step: listeners closed, nothing more read, requests no
// worker has taken dropped.
void tuvod_router_stop_reading(tuvod_state_t *tuvod);
// Shutdown, last step: replies still queued are sent for at most 5 s, then
// every connection is closed and the transport released.
int tuvod_shutdown_router(tuvod_state_t *tuvod);
