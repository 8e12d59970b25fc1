// The endpoints one nanomsg socket is bound to, keyed by URL. No lock of its
// own: the router serialises every call with its mutex.
#pragma once

#include "tuvod.hpp"

int add_binding_for_url(tuvod_binding_t **bindingsp, const int sock, const char *url);
int destroy_binding_for_url(tuvod_binding_t **bindingsp, int sock, const char *url, bool unbind);
void destroy_all_bindings(tuvod_binding_t **bindingsp, const int sock, bool unbind);
