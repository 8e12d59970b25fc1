// The network edge's bounds and figures, and the fast-path hook: what the
// server (edge.hpp) and its connections (edge_conn.hpp) share. See edge.hpp
// for what each bound does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace edge {

constexpr size_t SMALL_MESSAGE = 4096;
constexpr std::chrono::milliseconds ACCEPT_PAUSE{200};

struct limits {
    unsigned max_connections = 512;
    unsigned max_connections_per_address = 32;
    std::chrono::milliseconds handshake_timeout{5000};
    std::chrono::milliseconds idle_timeout{300000};
    unsigned max_pending_requests = 16;
    size_t max_queued_requests = 64;
    size_t max_queued_bytes = 64 * 1024 * 1024;
    int64_t max_message = 1024 * 1024; // -1: no limit
};

struct counters {
    uint64_t open = 0;               // connections open now
    uint64_t refused_at_cap = 0;     // closed at accept by a connection cap
    uint64_t closed_by_deadline = 0; // closed by the handshake or idle deadline
    uint64_t queued_requests = 0;    // waiting for a worker
    uint64_t queued_bytes = 0;
};

// Answers a request on the I/O thread, or returns none to queue it for a
// worker. Must be quick and must not block.
using fast_path_fn = std::function<std::optional<std::string>(const std::string &identity, std::string_view body)>;

} // namespace edge
