// The request transport: configuration of the network edge.
//
// Cleartext listeners on port 5557 for every "bindAddrs" entry (IPv4
// literals; anything else fails to bind like an unusable address), or only
// 127.0.0.1 when "tls" keeps cleartext local; TLS listeners on "tls" ->
// "bindAddrs" and "port". The edge owns the connections, their limits and
// the request queue; this module turns the daemon configuration into its
// limits, keeps the TLS context for CRL reloads, and stops it in two steps
// around the workers finishing.
#include "router.hpp"

#include <memory>
#include <string>

#include "config.hpp"
#include "handles.hpp"
#include "info.hpp"

struct tuvod_router_t {
    std::unique_ptr<edge::server> server;
    std::shared_ptr<edge::tls_server> tls;
    bool started = false;
};

namespace {

constexpr int ROUTER_PORT = 5557;
constexpr int ROUTER_TLS_PORT = 5558;
constexpr auto FLUSH_AT_SHUTDOWN = std::chrono::seconds(5);

edge::limits limits_of(const tuvod_state_t *tuvod) {
    edge::limits l;
    l.max_connections = tuvod->max_connections;
    l.max_connections_per_address = tuvod->max_connections_per_address;
    l.handshake_timeout = std::chrono::seconds(tuvod->handshake_timeout_s);
    l.idle_timeout = std::chrono::seconds(tuvod->idle_timeout_s);
    l.max_pending_requests = tuvod->max_pending_requests;
    l.max_queued_requests = tuvod->max_queued_requests;
    l.max_queued_bytes = tuvod->max_queued_bytes;
    l.max_message = tuvod->max_msgsz;
    return l;
}

// Listens on "<scheme>://[addr]:port" for every string in addrs_js; failures
// are logged and skipped. The number bound.
int bind_addrs(tuvod_router_t *router, json_t *addrs_js, const char *what, const char *scheme, int port,
               const std::shared_ptr<edge::tls_server> &tls) {
    int bound = 0;
    size_t i;
    json_t *addr_js;
    json_array_foreach(addrs_js, i, addr_js) {
        if (!json_is_string(addr_js)) {
            PRINT_INFO(INFO_WARN, "Ignoring %s element %zu: not an address string\n", what, i);
            continue;
        }
        std::string url = std::string(scheme) + "://[" + json_string_value(addr_js) + "]:" + std::to_string(port);
        std::string err;
        if (!router->server->listen(json_string_value(addr_js), static_cast<uint16_t>(port), tls, nullptr, &err)) {
            PRINT_INFO(INFO_ERROR, "Failed to bind %s\n", url.c_str());
            PRINT_INFO(INFO_INFO, "Binding %s failed: %s\n", url.c_str(), err.c_str());
            continue;
        }
        PRINT_INFO(INFO_INFO, "Router bound to %s\n", url.c_str());
        bound++;
    }
    return bound;
}

int bind_cleartext(tuvod_state_t *tuvod, tuvod_router_t *router) {
    if (tuvod_conf_get_bool(tuvod, "tls", "cleartextLoopbackOnly", false)) {
        json_ptr loopback(json_pack("[s]", "127.0.0.1"));
        return bind_addrs(router, loopback.get(), "bindAddrs", "tcp", ROUTER_PORT, nullptr);
    }
    json_t *addrs_js = tuvod_conf_get_array(tuvod, nullptr, "bindAddrs", nullptr);
    return bind_addrs(router, addrs_js, "bindAddrs", "tcp", ROUTER_PORT, nullptr);
}

std::string tls_file(json_t *tls_js, const char *key) {
    const char *value = json_string_value(json_object_get(tls_js, key));
    return value != nullptr ? value : "";
}

// The TLS listeners, when "tls" is configured. -1 (start-up refused) when
// its files cannot be used or nothing could be bound.
int bind_tls(tuvod_state_t *tuvod, tuvod_router_t *router) {
    json_t *tls_js = json_object_get(tuvod->config_js, "tls");
    if (tls_js == nullptr)
        return 0;
    if (!json_is_object(tls_js)) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: \"tls\" is not an object\n");
        return -1;
    }
    json_t *port_js = json_object_get(tls_js, "port");
    if (port_js != nullptr && (!json_is_integer(port_js) || json_integer_value(port_js) < 1 ||
                               json_integer_value(port_js) > 65535)) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: \"port\" is not a port number\n");
        return -1;
    }
    json_t *crl_js = json_object_get(tls_js, "clientCRLFile");
    if (crl_js != nullptr && (!json_is_string(crl_js) || json_string_length(crl_js) == 0)) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: \"clientCRLFile\" is not a path\n");
        return -1;
    }
    int port = port_js != nullptr ? static_cast<int>(json_integer_value(port_js)) : ROUTER_TLS_PORT;
    edge::tls_files files{tls_file(tls_js, "certFile"), tls_file(tls_js, "keyFile"),
                          tls_file(tls_js, "clientCAFile"), tls_file(tls_js, "clientCRLFile")};
    std::string err;
    router->tls = edge::tls_server::create(files, &err);
    if (!router->tls) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: %s\n", err.c_str());
        return -1;
    }
    if (bind_addrs(router, json_object_get(tls_js, "bindAddrs"), "tls bindAddrs", "tls+tcp", port, router->tls) ==
        0) {
        PRINT_INFO(INFO_ERROR, "Failed to bind any TLS listeners\n");
        return -1;
    }
    return 0;
}

} // namespace

int tuvod_init_router(tuvod_state_t *tuvod) {
    auto router = std::make_unique<tuvod_router_t>();
    router->server = std::make_unique<edge::server>(limits_of(tuvod));
    if (bind_cleartext(tuvod, router.get()) == 0) {
        PRINT_INFO(INFO_ERROR, "Failed to bind any listeners\n");
        return -1;
    }
    if (bind_tls(tuvod, router.get()) != 0)
        return -1;
    tuvod->tuvod_router = router.release();
    return 0;
}

void tuvod_router_set_fast_path(tuvod_state_t *tuvod, edge::fast_path_fn fn) {
    if (tuvod->tuvod_router != nullptr && !tuvod->tuvod_router->started)
        tuvod->tuvod_router->server->set_fast_path(std::move(fn));
}

int tuvod_start_router(tuvod_state_t *tuvod) {
    tuvod_router_t *router = tuvod->tuvod_router;
    if (router == nullptr)
        return -1;
    PRINT_DEBUG(DEBUG_ROUTER, "Starting router\n");
    try {
        router->server->start();
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Failed to start the transport: %s\n", e.what());
        return -1;
    }
    router->started = true;
    return 0;
}

std::optional<edge::request> tuvod_router_take(tuvod_state_t *tuvod, std::chrono::milliseconds wait) {
    if (tuvod->tuvod_router == nullptr)
        return std::nullopt;
    return tuvod->tuvod_router->server->take(wait);
}

edge::counters tuvod_router_counters(tuvod_state_t *tuvod) {
    if (tuvod->tuvod_router == nullptr)
        return {};
    return tuvod->tuvod_router->server->snapshot();
}

void tuvod_router_reload_crl(tuvod_state_t *tuvod) {
    tuvod_router_t *router = tuvod->tuvod_router;
    if (router == nullptr || !router->tls)
        return;
    std::string err;
    if (!router->tls->reload_crl(&err))
        PRINT_INFO(INFO_ERROR, "Keeping the previous client CRL: %s\n", err.c_str());
}

void tuvod_router_stop_reading(tuvod_state_t *tuvod) {
    if (tuvod->tuvod_router != nullptr)
        tuvod->tuvod_router->server->stop_reading();
}

int tuvod_shutdown_router(tuvod_state_t *tuvod) {
    tuvod_router_t *router = tuvod->tuvod_router;
    if (router == nullptr)
        return -1;
    PRINT_DEBUG(DEBUG_ROUTER, "Shutting down router\n");
    router->server->stop_reading();
    router->server->finish(FLUSH_AT_SHUTDOWN);
    std::unique_ptr<tuvod_router_t> owned(router);
    tuvod->tuvod_router = nullptr;
    return 0;
}
