// Checks of the daemon configuration that the daemon and `tuvoctl
// check-config` share, and the last good copy of the file.
//
// A key that guards access ("tls" and all in it, "legacyUsers") with a value
// of the wrong type would otherwise read as absent, which opens what it was
// meant to close; such a configuration is refused, naming the key. The last
// good copy ("<file>.last-good", 0600) holds the configuration of the last
// start whose file parsed and passed these checks; a file that stops
// parsing is then replaced by it in memory, not by the defaults.
//
// Warnings name what the daemon keeps but will not use as meant: a key it
// does not know (a misspelt "tlss" would otherwise leave TLS off in
// silence) and a listening address that is no IPv4 literal (it fails to
// bind at start). The daemon logs them at start-up; check-config prints
// them; neither refuses the file for them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "handles.hpp"

// The keys of the bounds (see limits.hpp), known here so that they are not
// warned about as unknown.
constexpr const char *LIMIT_KEY_QUEUED_REQUESTS = "maxQueuedRequests";
constexpr const char *LIMIT_KEY_QUEUED_BYTES = "maxQueuedBytes";
constexpr const char *LIMIT_KEY_ASYNC_RUNS = "maxAsyncRuns";
constexpr const char *LIMIT_KEY_OUTPUT_BYTES = "maxOutputBytes";
constexpr const char *LIMIT_KEY_CONNECTIONS = "maxConnections";
constexpr const char *LIMIT_KEY_CONNECTIONS_PER_ADDRESS = "maxConnectionsPerAddress";
constexpr const char *LIMIT_KEY_HANDSHAKE_TIMEOUT = "handshakeTimeoutSeconds";
constexpr const char *LIMIT_KEY_IDLE_TIMEOUT = "idleTimeoutSeconds";
constexpr const char *LIMIT_KEY_PENDING_REQUESTS = "maxPendingRequests";

// "Unable to parse config file <path>: <text> (line <n>)".
std::string tuvod_config_parse_problem(const char *path, const json_error_t &err);
// One message per key that guards access and holds a value of the wrong
// type; empty when there is none.
std::vector<std::string> tuvod_config_type_problems(json_t *config_js);
// One message per unknown key (at the top level and in "tls") and per
// listening address that is not an IPv4 literal; empty when there is none.
std::vector<std::string> tuvod_config_warnings(json_t *config_js);
// Parses the file at path and checks it: its problems in the daemon's
// words, empty when it would be accepted as it is; its warnings, when
// warnings is given.
std::vector<std::string> tuvod_config_check_file(const char *path, std::vector<std::string> *warnings = nullptr);

// "<config path>.last-good".
std::string tuvod_last_good_path(const char *config_path);
// Keeps config_js as the last good copy, owned by uid:gid, mode 0600:
// written to a new file that is synced and renamed over the old one (and
// the directory synced), and only when its content differs. 0, or -1
// (logged).
int tuvod_keep_last_good(const char *config_path, json_t *config_js, uid_t uid, gid_t gid);
// The last good copy, or none when there is none usable (missing: quietly;
// unreadable, not owned by uid, writable by others or unparsable: logged).
json_ptr tuvod_read_last_good(const char *config_path, uid_t uid);
