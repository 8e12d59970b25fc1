// Shared records of the daemon and the operation handler type.
//
// One tuvod_state_t exists per process (file-static in the entry module); its
// address is passed to nearly every operation. Locks, and what they guard:
//   daemon_mutex/daemon_cv  the script list head and n_workers_running
//   workers_mutex           the worker list; the only nesting is
//                           workers_mutex then daemon_mutex
#pragma once

#include <pthread.h>
#include <sys/time.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <jansson.h>

#include "wire.hpp"

struct sqlite3;

// One entry of an error stack; the stack is a pointer to its newest entry.
// Entries are made and released only by the error module.
struct tuvod_error_t {
    struct timeval error_time {};
    char *error_string = nullptr;     // owned (malloc)
    tuvod_error_severity_t error_severity = TUVOD_ERROR_SEVERITY_NOTICE;
    int error_code = 0;               // wire numbering (tuvod_wire_errno)
    json_t *error_data_js = nullptr;  // own reference, or none
    tuvod_error_t *next = nullptr;    // next older entry
};

// Stopwatch; start zeroed means not running.
struct tuvod_sw_t {
    struct timespec start {};
    char desc[25] = {};
};

// One step of a kill escalation.
struct contract_killer_desc_t {
    int sig = 0;
    int timeout = 0;
    contract_killer_desc_t *next = nullptr;
};

struct tuvod_run_gate_t; // gate module
// Resource limits of a script's runs ("limits" in its configuration),
// applied to each run's group before the child starts. Zero or empty: not
// limited.
struct tuvod_limits_t {
    int64_t memory_max = 0; // bytes (memory.max)
    int64_t tasks_max = 0;  // processes and threads (pids.max)
    int cpu_weight = 0;     // 1-10000 (cpu.weight)
    std::string cpu_max;    // "quota period" or "max period" (cpu.max)
    bool any() const { return memory_max > 0 || tasks_max > 0 || cpu_weight > 0 || !cpu_max.empty(); }
};

// How a script's runs are confined ("runAs", "capabilities",
// "noNewPrivileges", "environment", "workingDirectory", "umask",
// "secretArguments" in its configuration). The defaults run a script as
// the daemon's user with every capability, as before these members existed.
struct tuvod_privilege_t {
    bool run_as = false;                    // "runAs" given
    std::string user;                       // name or decimal uid
    std::string group;                      // name or decimal gid; empty: the user's primary group
    std::vector<std::string> supplementary; // names or decimal gids
    bool caps_given = false;                // "capabilities" given
    uint64_t caps = 0;                      // bit n: capability n is kept
    bool no_new_privs = false;              // as configured; a non-root user implies it
    bool env_inherit = true;
    std::vector<std::pair<std::string, std::string>> env_set;
    std::string working_dir;                // empty: none given
    mode_t umask = 022;
    bool secrets_stdin = false;             // redacted arguments go to stdin, not argv
};

// One loaded script configuration. Records are shared: the list holds one
// reference, and every request that looked a record up holds another until
// it is done with it, so a reload never frees a record in use.
// What identifies the content of a script file: a rewrite in place moves
// the size or a time, a rename over the path the device or inode.
struct script_identity_t {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtim {};
    struct timespec ctim {};
};

struct tuvod_script_t {
    pthread_mutex_t script_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t script_cv = PTHREAD_COND_INITIALIZER; // broadcast when script_instances drops
    std::string script_name;
    std::string script_path;
    std::string script_digest;     // lower-case hex SHA-256, or empty: no check
    std::string script_authority;
    int script_timeout = 0;        // seconds
    bool script_nonblock = false;
    bool script_concurrent = false;
    int script_redact_argv = 0;    // bit n: argv[n] is secret
    // Certificate CNs that may run the script over TLS; empty: any.
    std::vector<std::string> script_allowed_callers;
    contract_killer_desc_t *script_killsigs = nullptr; // own list or default_killsigs
    // The file as it was at the last successful digest check.
    std::mutex digest_mutex;
    bool digest_checked = false;         // guarded by digest_mutex
    script_identity_t digest_identity;   // guarded by digest_mutex
    unsigned script_instances = 0; // runs in progress; guarded by script_mutex
    // The run gate of script_path, shared with every other record of the
    // same path (reloads); bound on first use, guarded by script_mutex.
    std::shared_ptr<tuvod_run_gate_t> script_gate;
    tuvod_limits_t script_limits;
    tuvod_privilege_t script_priv;
    std::atomic<bool> limits_warned{false}; // the limits could not be applied, said once
    std::shared_ptr<tuvod_script_t> next;

    tuvod_script_t() = default;
    tuvod_script_t(const tuvod_script_t &) = delete;
    tuvod_script_t &operator=(const tuvod_script_t &) = delete;
    ~tuvod_script_t(); // frees its own kill steps (scripts module)
};
using tuvod_script_ref = std::shared_ptr<tuvod_script_t>;

struct tuvod_state_t;
// The request transport (router module); opaque here.
struct tuvod_router_t;

struct tuvod_worker_t {
    tuvod_state_t *tuvod = nullptr;
    std::string worker_uuid_str;
    bool started = false;                    // guarded by mutex
    std::atomic<bool> run{false};
    pthread_t thread{};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t start_cv = PTHREAD_COND_INITIALIZER;
};

struct tuvod_worker_list_t {
    tuvod_worker_t *worker = nullptr;
    tuvod_worker_list_t *next = nullptr;
};

enum tuvod_deadman_action_t : int {
    TUVOD_DEADMAN_WARN = 0,
    TUVOD_DEADMAN_QUIT = 1,
    TUVOD_DEADMAN_ABORT = 2,
};

struct tuvod_deadman_t {
    tuvod_state_t *tuvod = nullptr;
    int timeout_s = 0;          // guarded by mutex
    bool run = false;           // guarded by mutex
    const char *name = nullptr; // borrowed
    const char *msg = nullptr;  // borrowed, may be none; guarded by mutex
    pthread_t thread{};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    tuvod_deadman_action_t action = TUVOD_DEADMAN_WARN;
};

struct tuvod_state_t {
    pthread_mutex_t daemon_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t daemon_cv = PTHREAD_COND_INITIALIZER;
    pthread_t main_thread{};
    std::atomic<bool> run{true};             // written by the signal handler
    std::atomic<bool> reload_scripts{false}; // written by the signal handler
    char my_hostname[256] = "Unknown";
    json_t *uuid_js = nullptr;               // instance identifier; owned, never released
    json_t *config_js = nullptr;             // owned by the config module
    const char *config_filename = nullptr;
    const char *cmd_db_filename = nullptr;
    int32_t max_msgsz = 1048576;             // -1: no limit
    const char *scripts_dir = nullptr;
    tuvod_script_ref tuvod_scripts;          // guarded by daemon_mutex
    // Bounds from the daemon configuration, set at start-up (limits module)
    // and only read afterwards.
    unsigned max_queued_requests = 64;
    size_t max_queued_bytes = size_t{64} << 20;
    unsigned max_async_runs = 256;
    size_t max_output_bytes = size_t{64} << 20; // JSON of one output stream
    unsigned max_connections = 512;          // across all listeners
    unsigned max_connections_per_address = 32;
    unsigned handshake_timeout_s = 5;        // accept to TLS handshake and wire header
    unsigned idle_timeout_s = 300;
    unsigned max_pending_requests = 16;      // per connection
    tuvod_worker_list_t *tuvod_workers = nullptr; // guarded by workers_mutex
    pthread_mutex_t workers_mutex = PTHREAD_MUTEX_INITIALIZER;
    unsigned n_workers = 0;                  // guarded by workers_mutex
    unsigned n_workers_running = 0;          // guarded by daemon_mutex
    tuvod_router_t *tuvod_router = nullptr;
    sqlite3 *tuvod_cmd_db = nullptr;
    int tuvo_fd = 0;
};

// Operation handler: state, request identifier, request (borrowed),
// response (borrowed; the handler writes into it), error stack.
using tuvod_op_handler_fn_t = void (*)(tuvod_state_t *tuvod, const char *uuid, json_t *req_js,
                                       json_t *resp_js, tuvod_error_t **errors);

// Tells every worker to stop and signals it; does not wait (entry module).
void tuvod_start_shutdown(tuvod_state_t *tuvod);
