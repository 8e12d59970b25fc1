// Telling the service manager (systemd) what the daemon is doing: ready,
// reloading, stopping, a one-line status, and the watchdog's keep-alive.
// Without NOTIFY_SOCKET in the environment every call does nothing and the
// main loop's wait is not bounded, as before.
#pragma once

#include <string>

// Milliseconds the main loop may block before calling tuvod_notify_tick:
// half the watchdog interval, 5 s under a service manager for the status
// line, -1 (no limit) otherwise.
int tuvod_notify_tick_ms();
// Start-up is complete (the listeners are bound).
void tuvod_notify_ready(const std::string &status);
// A reload of the script configurations begins / ended with its outcome.
void tuvod_notify_reloading();
void tuvod_notify_reloaded(bool ok, const std::string &status);
// The orderly shutdown begins.
void tuvod_notify_stopping();
// Called from the main loop on every turn: keeps the watchdog fed and sends
// the status line when it has changed.
void tuvod_notify_tick(const std::string &status);

// Waits up to tuvod_notify_tick_ms() for fd to become readable: 1 readable,
// 0 the time ran out, -1 interrupted (a signal) or failed.
int tuvod_wait_readable(int fd);
