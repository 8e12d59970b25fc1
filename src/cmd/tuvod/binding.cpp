// Endpoint list of one request socket: newest binding first, URLs unique.
#include "binding.hpp"

#include <nng/supplemental/tls/tls.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "info.hpp"

namespace {

// The link (head pointer or next field) that points at the binding for url,
// or none.
tuvod_binding_t **binding_ptr_for_url(tuvod_binding_t **bindingsp, const char *url) {
    for (tuvod_binding_t **link = bindingsp; *link != nullptr; link = &(*link)->next) {
        if ((*link)->binding_url == url)
            return link;
    }
    return nullptr;
}

// Unlinks and frees the binding *bindingp points at. With unbind, a failure
// to stop the endpoint keeps the binding and returns -1, unless force is set.
int destroy_binding(tuvod_binding_t **bindingp, bool unbind, bool force) {
    tuvod_binding_t *binding = *bindingp;
    int rv = unbind ? nng_listener_close(binding->binding_epid) : 0;
    if (rv != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to shutdown binding for %s - %s\n", binding->binding_url.c_str(),
                   nng_strerror(rv));
        if (!force)
            return -1;
    }
    PRINT_DEBUG(DEBUG_ROUTER, "Destroy binding for %s\n", binding->binding_url.c_str());
    std::unique_ptr<tuvod_binding_t> owned(binding);
    *bindingp = binding->next;
    return 0;
}

// Creates, configures and starts a listener; 0 or an nng error.
int start_listener(nng_socket sock, const char *url, nng_tls_config *tls, nng_listener *out) {
    nng_listener l;
    int rv = nng_listener_create(&l, sock, url);
    if (rv != 0)
        return rv;
    if (tls != nullptr)
        rv = nng_listener_set_ptr(l, NNG_OPT_TLS_CONFIG, tls);
    if (rv == 0)
        rv = nng_listener_start(l, 0);
    if (rv != 0) {
        nng_listener_close(l);
        return rv;
    }
    *out = l;
    return 0;
}

} // namespace

int add_binding_for_url(tuvod_binding_t **bindingsp, nng_socket sock, const char *url, nng_tls_config *tls) {
    if (binding_ptr_for_url(bindingsp, url) != nullptr) {
        PRINT_INFO(INFO_ERROR, "Already bound to %s\n", url);
        return -1;
    }
    std::unique_ptr<tuvod_binding_t> binding(new (std::nothrow) tuvod_binding_t);
    if (!binding) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate binding\n");
        return -1;
    }
    try {
        binding->binding_url = url;
    } catch (const std::exception &) {
        PRINT_INFO(INFO_ERROR, "Failed to create binding for %s\n", url);
        return -1;
    }
    int rv = start_listener(sock, url, tls, &binding->binding_epid);
    if (rv != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to bind %s\n", url);
        PRINT_DEBUG(DEBUG_ROUTER, "Bind of %s: %s\n", url, nng_strerror(rv));
        return -1;
    }
    binding->next = *bindingsp;
    *bindingsp = binding.release();
    return 0;
}

int destroy_binding_for_url(tuvod_binding_t **bindingsp, nng_socket sock, const char *url, bool unbind) {
    (void)sock;
    tuvod_binding_t **link = binding_ptr_for_url(bindingsp, url);
    if (link == nullptr) {
        PRINT_INFO(INFO_ERROR, "No binding for %s exists\n", url);
        return -1;
    }
    return destroy_binding(link, unbind, false);
}

void destroy_all_bindings(tuvod_binding_t **bindingsp, nng_socket sock, bool unbind) {
    (void)sock;
    while (*bindingsp != nullptr)
        (void)destroy_binding(bindingsp, unbind, true);
}
