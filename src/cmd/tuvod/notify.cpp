// Service manager notifications; see notify.hpp.
#include "notify.hpp"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "info.hpp"

namespace {

// How long the outcome of a reload stays the status line, unless something
// more important (the next reload, the shutdown) replaces it first.
constexpr std::chrono::seconds RELOAD_STATUS_HOLD{60};

std::mutex notify_mutex;
std::string last_status; // guarded by notify_mutex
std::chrono::steady_clock::time_point status_held_until; // guarded by notify_mutex

bool managed() { return getenv("NOTIFY_SOCKET") != nullptr; }

// A status line holds no line breaks (each would start another assignment).
std::string one_line(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

void send(const std::string &message) {
    int rc = sd_notify(0, message.c_str());
    if (rc < 0)
        PRINT_DEBUG(DEBUG_GENERAL, "Notification to the service manager failed: %d\n", rc);
}

void send_status(const std::string &prefix, const std::string &status,
                 std::chrono::steady_clock::duration hold = {}) {
    std::lock_guard<std::mutex> lock(notify_mutex);
    last_status = one_line(status);
    status_held_until = std::chrono::steady_clock::now() + hold;
    send(prefix + "STATUS=" + last_status);
}

} // namespace

void tuvod_notify_ready(const std::string &status) {
    if (managed())
        send_status("READY=1\n", status);
}

void tuvod_notify_reloading() {
    if (!managed())
        return;
    // The time stamp lets a manager that sends the reload signal itself
    // (Type=notify-reload, systemd 253 and later) match this reload to it.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                              static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    send_status("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) + "\n",
                "Reloading script configurations");
}

void tuvod_notify_reloaded(bool ok, int skipped, const std::string &status) {
    if (!managed())
        return;
    std::string outcome = ok ? "Reloaded script configurations" : "Reload of script configurations failed";
    if (ok && skipped > 0)
        outcome += " (" + std::to_string(skipped) + (skipped == 1 ? " file" : " files") + " skipped, see the log)";
    send_status("READY=1\n", outcome + "; " + status, RELOAD_STATUS_HOLD);
}

void tuvod_notify_stopping() {
    if (managed())
        send_status("STOPPING=1\n", "Shutting down");
}

void tuvod_notify_tick(const std::string &status) {
    if (!managed())
        return;
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0)
        send("WATCHDOG=1");
    std::string line = one_line(status);
    {
        std::lock_guard<std::mutex> lock(notify_mutex);
        if (line == last_status || std::chrono::steady_clock::now() < status_held_until)
            return;
    }
    send_status("", status);
}
