// The request socket (raw nng REP) and the router thread that queues
// received requests as jobs for the workers.
#pragma once

#include "state.hpp"

struct nng_tls_config;

int tuvod_init_router(tuvod_state_t *tuvod);
int tuvod_start_router(tuvod_state_t *tuvod);
int tuvod_shutdown_router(tuvod_state_t *tuvod);
int tuvod_bind_router(tuvod_router_t *router, const char *url, nng_tls_config *tls = nullptr);
int tuvod_unbind_router(tuvod_router_t *router, const char *url);
