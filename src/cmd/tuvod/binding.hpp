// The endpoints one request socket is bound to, keyed by URL. No lock of its
// own: the router serialises every call with its mutex.
#pragma once

#include "state.hpp"

struct nng_tls_config;

// tls, when given, is applied to the new listener (a tls+tcp:// URL).
int add_binding_for_url(tuvod_binding_t **bindingsp, nng_socket sock, const char *url,
                        nng_tls_config *tls = nullptr);
int destroy_binding_for_url(tuvod_binding_t **bindingsp, nng_socket sock, const char *url, bool unbind);
void destroy_all_bindings(tuvod_binding_t **bindingsp, nng_socket sock, bool unbind);
