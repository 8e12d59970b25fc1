// Endpoint list of one nanomsg socket: newest binding first, URLs unique.
#include "binding.hpp"

#include <nanomsg/nn.h>

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
int destroy_binding(tuvod_binding_t **bindingp, int sock, bool unbind, bool force) {
    tuvod_binding_t *binding = *bindingp;
    if (unbind && nn_shutdown(sock, binding->binding_epid) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to shutdown binding for %s - %s\n", binding->binding_url.c_str(),
                   strerror(errno));
        if (!force)
            return -1;
    }
    PRINT_DEBUG(DEBUG_ROUTER, "Destroy binding for %s\n", binding->binding_url.c_str());
    std::unique_ptr<tuvod_binding_t> owned(binding);
    *bindingp = binding->next;
    return 0;
}

} // namespace

int add_binding_for_url(tuvod_binding_t **bindingsp, const int sock, const char *url) {
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
    int epid = nn_bind(sock, url);
    if (epid < 0) {
        PRINT_INFO(INFO_ERROR, "Failed to bind %s\n", url);
        return -1;
    }
    binding->binding_epid = epid;
    binding->next = *bindingsp;
    *bindingsp = binding.release();
    return 0;
}

int destroy_binding_for_url(tuvod_binding_t **bindingsp, int sock, const char *url, bool unbind) {
    tuvod_binding_t **link = binding_ptr_for_url(bindingsp, url);
    if (link == nullptr) {
        PRINT_INFO(INFO_ERROR, "No binding for %s exists\n", url);
        return -1;
    }
    return destroy_binding(link, sock, unbind, false);
}

void destroy_all_bindings(tuvod_binding_t **bindingsp, const int sock, bool unbind) {
    while (*bindingsp != nullptr)
        (void)destroy_binding(bindingsp, sock, unbind, true);
}
