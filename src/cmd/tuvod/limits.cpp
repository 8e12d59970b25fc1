// Bounds read from the daemon configuration.
//
// Output is capped well below SQLite's length limit (1e9 bytes per value and
// per row): two streams at the largest cap, their errors and the statement's
// other columns must fit in one row.
#include "limits.hpp"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "config.hpp"
#include "info.hpp"

namespace {

struct limit_desc {
    const char *key;
    long long min, max;
};

constexpr long long MiB = 1024 * 1024;

// The configured value of key when it is an integer in [min, max]; else dflt
// (a value out of range is logged).
long long configured(tuvod_state_t *tuvod, const limit_desc &d, long long dflt) {
    json_t *value = json_object_get(tuvod->config_js, d.key);
    if (value == nullptr)
        return dflt;
    if (!json_is_integer(value) || json_integer_value(value) < d.min || json_integer_value(value) > d.max) {
        PRINT_INFO(INFO_WARN, "Ignoring configured %s: not an integer from %lld to %lld; using %lld\n", d.key,
                   d.min, d.max, dflt);
        return dflt;
    }
    return json_integer_value(value);
}

} // namespace

void tuvod_load_limits(tuvod_state_t *tuvod) {
    tuvod->max_queued_requests = static_cast<unsigned>(
        configured(tuvod, {LIMIT_KEY_QUEUED_REQUESTS, 1, 65536}, tuvod->max_queued_requests));
    tuvod->max_queued_bytes = static_cast<size_t>(
        configured(tuvod, {LIMIT_KEY_QUEUED_BYTES, MiB, 4096 * MiB}, static_cast<long long>(tuvod->max_queued_bytes)));
    tuvod->max_async_runs =
        static_cast<unsigned>(configured(tuvod, {LIMIT_KEY_ASYNC_RUNS, 1, 65536}, tuvod->max_async_runs));
    tuvod->max_output_bytes = static_cast<size_t>(
        configured(tuvod, {LIMIT_KEY_OUTPUT_BYTES, 4096, 256 * MiB}, static_cast<long long>(tuvod->max_output_bytes)));
    tuvod->max_connections =
        static_cast<unsigned>(configured(tuvod, {LIMIT_KEY_CONNECTIONS, 1, 1 << 20}, tuvod->max_connections));
    tuvod->max_connections_per_address = static_cast<unsigned>(
        configured(tuvod, {LIMIT_KEY_CONNECTIONS_PER_ADDRESS, 1, 1 << 20}, tuvod->max_connections_per_address));
    tuvod->handshake_timeout_s = static_cast<unsigned>(
        configured(tuvod, {LIMIT_KEY_HANDSHAKE_TIMEOUT, 1, 3600}, tuvod->handshake_timeout_s));
    tuvod->idle_timeout_s =
        static_cast<unsigned>(configured(tuvod, {LIMIT_KEY_IDLE_TIMEOUT, 1, 86400}, tuvod->idle_timeout_s));
    tuvod->max_pending_requests = static_cast<unsigned>(
        configured(tuvod, {LIMIT_KEY_PENDING_REQUESTS, 1, 1024}, tuvod->max_pending_requests));
    PRINT_INFO(INFO_INFO,
               "Connections: %u in all, %u per address, %u s to handshake, %u s idle, %u requests pending each\n",
               tuvod->max_connections, tuvod->max_connections_per_address, tuvod->handshake_timeout_s,
               tuvod->idle_timeout_s, tuvod->max_pending_requests);
    PRINT_INFO(INFO_INFO, "Limits: %u queued requests, %zu queued bytes, %u asynchronous runs, %zu bytes of output per stream\n",
               tuvod->max_queued_requests, tuvod->max_queued_bytes, tuvod->max_async_runs, tuvod->max_output_bytes);
}

void tuvod_fit_descriptors(tuvod_state_t *tuvod) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    if (rl.rlim_cur < rl.rlim_max) {
        rlim_t want = rl.rlim_max;
        rl.rlim_cur = want;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            PRINT_INFO(INFO_WARN, "Cannot raise the descriptor limit: %s\n", strerror(errno));
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur == RLIM_INFINITY)
        return;
    rlim_t room = rl.rlim_cur > LIMIT_SPARE_DESCRIPTORS ? rl.rlim_cur - LIMIT_SPARE_DESCRIPTORS : 1;
    if (tuvod->max_connections > room) {
        PRINT_INFO(INFO_WARN, "Lowering %s from %u to %llu: the descriptor limit is %llu\n", LIMIT_KEY_CONNECTIONS,
                   tuvod->max_connections, static_cast<unsigned long long>(room),
                   static_cast<unsigned long long>(rl.rlim_cur));
        tuvod->max_connections = static_cast<unsigned>(room);
    }
}
