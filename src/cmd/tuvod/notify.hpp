// Telling the service manager (systemd) what the daemon is doing: ready,
// reloading, stopping, a one-line status, and the watchdog's keep-alive.
// Without NOTIFY_SOCKET in the environment every call does nothing.
#pragma once

#include <string>

// Start-up is complete (the listeners are bound).
void tuvod_notify_ready(const std::string &status);
// A reload of the script configurations begins / ended with its outcome.
void tuvod_notify_reloading();
void tuvod_notify_reloaded(bool ok, int skipped, const std::string &status);
// The orderly shutdown begins.
void tuvod_notify_stopping();
// Called from the main loop on every turn (at least once a second): keeps
// the watchdog fed and sends the status line when it has changed.
void tuvod_notify_tick(const std::string &status);
