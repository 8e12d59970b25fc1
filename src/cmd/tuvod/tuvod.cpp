// The daemon's entry: options, start-up in a fixed order, the main loop and
// the orderly shutdown.
//
// Signals: SIGTERM, SIGHUP and SIGUSR1 are blocked before the first thread is
// created, so every thread starts with them blocked. Workers and the router
// unblock SIGUSR1 (shutdown wakes them with it). SIGTERM and SIGHUP stay
// blocked everywhere; the main thread unblocks them only inside its wait
// (ppoll in the legacy gateway), so one that arrives at any other moment is
// held pending and ends the next wait at once. The handler sets flags.
//
// Threads are never left running behind the end of the process's life:
// shutdown joins workers, legacy connections and the router, and stops the
// asynchronous runs before the database is closed; the process then ends
// with _exit, so no static object is destroyed under a thread.
#include "async.hpp"
#include "counters.hpp"
#include "execlog.hpp"
#include "state.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>


#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.hpp"
#include "db.hpp"
#include "deadman.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "legacy.hpp"
#include "limits.hpp"
#include "notify.hpp"
#include "ops.hpp"
#include "procgroup.hpp"
#include "retention.hpp"
#include "router.hpp"
#include "scripts.hpp"
#include "status.hpp"
#include "utils.hpp"
#include "worker.hpp"

namespace {

constexpr int VERSION_MAJOR = 2;
constexpr int VERSION_MINOR = 0;
constexpr unsigned MIN_WORKERS = 1;
constexpr unsigned MAX_WORKERS = 16;
constexpr int MIN_MSGSZ = 128;
// The deadman of the shutdown; the asynchronous runs' escalation ends
// ASYNC_ESCALATION_MS after its start, leaving time to record them.
constexpr int SHUTDOWN_DEADMAN_S = 120;
static_assert(ASYNC_ESCALATION_MS + 10000 < SHUTDOWN_DEADMAN_S * 1000);
constexpr const char *EXEC_LOG_FILE = "/var/log/orrvik/tuvod_exec.log";
constexpr const char *DAEMON_LOG_FILE = "/var/log/orrvik/tuvod.log";

tuvod_state_t tuvod;

struct options_t {
    unsigned n_workers = 8;
    bool debug_flag = false;
    bool quiet_flag = false;
    bool verbose_flag = false;
    bool foreground_flag = false;
    bool do_abort = false;
    const char *pid_file = "/var/run/tuvod.pid";
    const char *config_file = "/lumo/conf/tuvod/config.json";
    const char *cmd_db_file = "/var/cache/tuvod.db";
    const char *scripts_dir = "/lumo/conf/tuvod/script_config.d";
    const char *log_file = nullptr;
};

// What option parsing decided: go on, or end with a status.
enum class parse_outcome { proceed, exit_ok, exit_fail };

void version(FILE *out) {
    fprintf(out, "Halvorine command execution daemon (tuvod) %d.%d\n", VERSION_MAJOR, VERSION_MINOR);
    fputs("Runs configured scripts for management clients and records every run.\n", out);
}

// To standard output when asked for (-h), else to standard error.
void usage(FILE *out = stderr) {
    static constexpr const char *lines[] = {
        "Usage: tuvod [options]\n",
        "Options:\n",
        "\t[-h]\t\t\tDisplay help message\n",
        "\t[-p <pid-file>]\t\tUse the specified PID file\n",
        "\t[-d <mask>]\t\tEnable debugging output\n",
        "\t[-q]\t\t\tMinimal informational output\n",
        "\t[-v]\t\t\tVerbose informational output\n",
        "\t[-w <workers>]\t\tSpecify the number of worker threads\n",
        "\t[-l <log-file>]\t\tLog to <log-file>\n",
        "\t[-c <config-file>]\tRead configuration from <config-file>\n",
        "\t[-f]\t\t\tRun in the foreground\n",
        "\t[-e]\t\t\tExit immediately after initialisation\n",
        "\t[-a]\t\t\tAbort on exit\n",
        "\t[-m <size>]\t\tSet maximum message size to <size> bytes\n",
    };
    // Written as is: the log escapes the tabs that lay this out.
    for (const char *line : lines)
        fputs(line, out);
}

// strtol in base 0 over the whole text; false for trailing text or overflow.
bool parse_number(const char *text, long *value) {
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    *value = n;
    return true;
}

parse_outcome parse_workers(const char *arg, options_t *opts) {
    long n = 0;
    if (!parse_number(arg, &n)) {
        PRINT_INFO(INFO_ERROR, "Error: option '-w' takes a number, not '%s'\n", arg);
        usage();
        return parse_outcome::exit_fail;
    }
    if (n < static_cast<long>(MIN_WORKERS) || n > static_cast<long>(MAX_WORKERS)) {
        PRINT_INFO(INFO_ERROR, "Number of workers must be in range %d - %d.\n", MIN_WORKERS,
                   MAX_WORKERS);
        return parse_outcome::exit_fail;
    }
    opts->n_workers = static_cast<unsigned>(n);
    return parse_outcome::proceed;
}

parse_outcome parse_msgsz(const char *arg) {
    long n = 0;
    if (!parse_number(arg, &n)) {
        usage();
        return parse_outcome::exit_fail;
    }
    // The socket option is a 32-bit value; larger sizes are as good as unlimited.
    if (n < 0 || n > INT32_MAX) {
        tuvod.max_msgsz = -1;
        PRINT_INFO(INFO_INFO, "Setting the maximum message size to unlimited\n");
    } else if (n >= MIN_MSGSZ) {
        tuvod.max_msgsz = static_cast<int32_t>(n);
        PRINT_INFO(INFO_INFO, "Setting the maximum message size to %d bytes\n", tuvod.max_msgsz);
    } else {
        PRINT_INFO(INFO_ERROR, "The maximum message size must be at least %d bytes\n", MIN_MSGSZ);
        return parse_outcome::exit_fail;
    }
    return parse_outcome::proceed;
}

// An area name the daemon does not know is a mistake, not a no-op, wherever
// it stands in the list (the mask parser itself goes by the last name).
parse_outcome apply_debug_option(const char *mask, options_t *opts) {
    opts->debug_flag = true;
    std::string list = mask;
    bool ok = !list.empty() || set_debug_masks_from_string(mask, true) == 0;
    for (size_t start = 0; ok && start <= list.size();) {
        size_t bar = list.find('|', start);
        std::string item = list.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (!item.empty())
            ok = set_debug_masks_from_string(item.c_str(), true) == 0;
        start = bar == std::string::npos ? list.size() + 1 : bar + 1;
    }
    if (!ok)
        return parse_outcome::exit_fail;
    set_info_level(INFO_DEBUG);
    PRINT_INFO(INFO_INFO, "Setting debug mask to %s\n", debug_masks2str());
    return parse_outcome::proceed;
}

parse_outcome parse_options(int argc, char **argv, options_t *opts) {
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, ":hp:d:qvw:fl:c:eam:")) != -1) {
        parse_outcome outcome = parse_outcome::proceed;
        switch (c) {
        case 'h':
            version(stdout);
            usage(stdout);
            return parse_outcome::exit_ok;
        case 'p':
            opts->pid_file = optarg;
            break;
        case 'd':
            outcome = apply_debug_option(optarg, opts);
            break;
        case 'q':
            opts->quiet_flag = true;
            break;
        case 'v':
            opts->verbose_flag = true;
            break;
        case 'w':
            outcome = parse_workers(optarg, opts);
            break;
        case 'f':
            opts->foreground_flag = true;
            break;
        case 'l':
            opts->log_file = optarg;
            break;
        case 'c':
            opts->config_file = optarg;
            break;
        case 'e':
            tuvod.run = false;
            break;
        case 'a':
            opts->do_abort = true;
            break;
        case 'm':
            outcome = parse_msgsz(optarg);
            break;
        case ':':
            PRINT_INFO(INFO_ERROR, "Error: option '-%c' requires an argument\n", optopt);
            usage();
            return parse_outcome::exit_fail;
        default:
            PRINT_INFO(INFO_ERROR, "Error: invalid option '-%c\n", optopt);
            usage();
            return parse_outcome::exit_fail;
        }
        if (outcome != parse_outcome::proceed)
            return outcome;
    }
    return parse_outcome::proceed;
}

void apply_level_precedence(const options_t &opts) {
    if (opts.debug_flag)
        set_info_level(INFO_DEBUG);
    else if (opts.verbose_flag)
        set_info_level(INFO_INFO);
    else if (opts.quiet_flag)
        set_info_level(INFO_ERROR);
    set_abort_on_error(opts.do_abort);
}

// The PID file stays open and locked for the daemon's life (the descriptor
// is deliberately never closed), so a second instance started by mistake
// stops here, before it opens the database or touches anything of the first.
int pid_file_fd = -1;

// The PID text a locked file holds, for the message; "unknown" if unreadable.
std::string running_pid(int fd) {
    char buf[32] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return digits ? text : "unknown";
}

// 0 when written and locked; 1 when another instance holds the lock; -1 otherwise.
int write_pid(const char *pid_file) {
    char buf[10];
    int len = snprintf(buf, sizeof buf, "%llu\n", static_cast<unsigned long long>(getpid()));
    if (len < 0 || static_cast<size_t>(len) >= sizeof buf)
        return -1;
    unique_fd fd(open(pid_file, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return -1;
    if (lockf(fd.get(), F_TLOCK, 0) != 0) {
        if (errno != EAGAIN && errno != EACCES)
            return -1;
        PRINT_INFO(INFO_ERROR, "Another tuvod instance (PID %s) holds the pid file %s, exiting\n",
                   running_pid(fd.get()).c_str(), pid_file);
        return 1;
    }
    // The PID is no secret: monitoring tools read it, whatever our umask.
    if (fchmod(fd.get(), 0644) != 0 || ftruncate(fd.get(), 0) != 0)
        return -1;
    if (pwrite(fd.get(), buf, static_cast<size_t>(len), 0) != len)
        return -1;
    pid_file_fd = fd.release();
    return 0;
}

// At an orderly exit the file goes, still locked, so nothing reads a PID
// that is no longer ours; a crash leaves it for the next start to take over.
void remove_pid_file(const char *pid_file) {
    if (pid_file_fd >= 0 && unlink(pid_file) != 0 && errno != ENOENT)
        PRINT_INFO(INFO_WARN, "Unable to remove the pid file %s: %s\n", pid_file, strerror(errno));
}

void signal_handler(int signal) {
    if (!pthread_equal(pthread_self(), tuvod.main_thread))
        return;
    if (signal == SIGHUP)
        tuvod.reload_scripts = true;
    else if (signal == SIGTERM)
        tuvod.run = false;
    else
        PRINT_INFO(INFO_ERROR, "Unexpected signal %d on main thread\n", signal);
}

int install_signal_handling() {
    struct sigaction sa {};
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the main loop's wait must be interrupted
    for (int sig : {SIGTERM, SIGUSR1, SIGHUP})
        if (sigaction(sig, &sa, nullptr) != 0)
            return -1;
    // A legacy client that goes away before its answer must not end the daemon.
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return sigprocmask(SIG_BLOCK, &set, nullptr);
}

json_t *configured_uuid(tuvod_state_t *state) {
    const char *uuid = tuvod_conf_get_string(state, nullptr, "tuvodUUID", nullptr);
    return uuid != nullptr ? json_string(uuid) : nullptr;
}

void apply_configured_levels(const options_t &opts) {
    if (!opts.debug_flag && !opts.verbose_flag && !opts.quiet_flag) {
        info_level_t level;
        const char *text = tuvod_conf_get_string(&tuvod, nullptr, "infoLevel", nullptr);
        if (text != nullptr && str2info_level(text, &level) == 0) {
            PRINT_INFO(INFO_INFO, "Configured info level to %s\n", info_level2str(level));
            set_info_level(level);
        }
    }
    if (!opts.debug_flag) {
        const char *mask = tuvod_conf_get_string(&tuvod, nullptr, "debugMask", nullptr);
        if (mask != nullptr && set_debug_masks_from_string(mask, false) == 0)
            PRINT_INFO(INFO_INFO, "Configured debug mask to %s\n", debug_masks2str());
    }
}

// Detaching (or not) and choosing the log destination.
bool settle_process_mode(const options_t &opts) {
    if (!opts.foreground_flag) {
        if (getuid() != 0) {
            PRINT_INFO(INFO_ERROR, "tuvod can only be run in daemon mode as root\n");
            return false;
        }
        if (daemon(0, 0) != 0) {
            PRINT_INFO(INFO_ERROR, "Failed to daemonize: %s\n", strerror(errno));
            return false;
        }
        set_log_file(opts.log_file != nullptr ? opts.log_file : DAEMON_LOG_FILE);
    } else {
        if (getuid() != 0)
            PRINT_INFO(INFO_ERROR, "tuvod will run with restricted functionality as non-root user\n");
        if (opts.log_file != nullptr)
            set_log_file(opts.log_file);
    }
    return true;
}

const char *uuid_text() { return json_string_value(tuvod.uuid_js); }

// Everything from the log file to the legacy gateway; false after logging the failure.
bool start_up(const options_t &opts, tuvod_sw_t *sw) {
    if (!settle_process_mode(opts))
        return false;
    set_exec_log_file(EXEC_LOG_FILE);
    int pid_rc = write_pid(opts.pid_file);
    if (pid_rc != 0) {
        if (pid_rc < 0)
            PRINT_INFO(INFO_ERROR, "Unable to create tuvod pid file\n");
        return false;
    }
    tuvod.main_thread = pthread_self();
    if (install_signal_handling() != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to install signal handlers: %s\n", strerror(errno));
        return false;
    }
    if (gethostname(tuvod.my_hostname, sizeof tuvod.my_hostname) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to obtain hostname.\n");
        return false;
    }
    tuvod.my_hostname[sizeof tuvod.my_hostname - 1] = '\0';
    tuvod.config_filename = opts.config_file;
    if (tuvod_load_config(&tuvod) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to load configuration\n");
        return false;
    }
    tuvod.scripts_dir = opts.scripts_dir;
    if (tuvod_load_scripts(&tuvod) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to load scripts\n");
        return false;
    }
    tuvod.uuid_js = configured_uuid(&tuvod);
    if (tuvod.uuid_js == nullptr) {
        PRINT_INFO(INFO_ERROR, "Unable to set UUID\n");
        return false;
    }
    apply_configured_levels(opts);
    tuvod_load_limits(&tuvod);
    tuvod_fit_descriptors(&tuvod);
    PRINT_INFO(INFO_WARN, "Starting tuvod %s %s on %s%s%s\n",
               opts.foreground_flag ? "process" : "daemon", uuid_text(), tuvod.my_hostname,
               tuvod.run ? "" : ", will exit immediately after initialisation",
               opts.do_abort ? ", dumping core on exit" : "");
    tuvod.cmd_db_filename = opts.cmd_db_file;
    if (tuvod_cmd_db_open(&tuvod) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to initialise command database.\n");
        return false;
    }
    // Groups left by an instance that died still hold its scripts' processes.
    procgroup_cleanup_stale();
    // Housekeeping: a daemon that cannot sweep old records still serves.
    tuvod_start_retention(&tuvod);
    if (opts.n_workers == 0) {
        PRINT_INFO(INFO_ERROR, "No workers are configured, exiting.\n");
        return false;
    }
    if (tuvod_init_router(&tuvod) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to initialise the message router\n");
        return false;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "Starting workers after %s\n", stopwatch_str(sw));
    if (tuvod_start_workers(&tuvod, opts.n_workers) <= 0) {
        PRINT_INFO(INFO_WARN, "Unable to start any worker threads\n");
        return false;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "Starting router after %s\n", stopwatch_str(sw));
    tuvod_status_refresh(&tuvod); // before the first status can be asked for
    if (tuvod_start_router(&tuvod) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to start the router thread\n");
        return false;
    }
    if (tuvo_legacy_start(&tuvod) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to initialise tuvo legacy support\n");
        return false;
    }
    PRINT_INFO(INFO_WARN, "Start-up complete for tuvod instance %s on %s (%s)\n", uuid_text(),
               tuvod.my_hostname, stopwatch_str(sw));
    tuvod_notify_ready(tuvod_status_summary(&tuvod));
    return true;
}

// The request is taken by exchange, so a SIGHUP during the reload asks for
// one more. The reload swaps the list and returns; it never waits for runs.
void reload_if_requested() {
    if (!tuvod.reload_scripts.exchange(false))
        return;
    tuvod_notify_reloading();
    int skipped = 0;
    bool ok = tuvod_load_scripts(&tuvod, &skipped) == 0;
    tuvod_note_reload(ok, skipped);
    tuvod_notify_reloaded(ok, skipped, tuvod_status_summary(&tuvod));
    tuvod_router_reload_crl(&tuvod);
    if (ok)
        PRINT_INFO(INFO_WARN, "Re-loaded script configuraton\n");
    else
        PRINT_INFO(INFO_WARN, "Failed to re-load script configuraiton\n");
}

// Each pass waits at most one second (the legacy gateway's tick), often
// enough to feed the service manager's watchdog and refresh the status line.
// With -e (run already clear) the first pass lasts until a legacy client
// arrives or a signal does: a tick on its own does not end it.
void main_loop() {
    bool first_pass = true;
    do {
        int rc = tuvo_legacy_poll(&tuvod);
        if (rc < 0) {
            PRINT_INFO(INFO_ERROR, "Exiting due to failure in legacy tuvo support\n");
            break;
        }
        if (rc != TUVO_POLL_IDLE)
            first_pass = false;
        reload_if_requested();
        tuvod_status_refresh(&tuvod);
        tuvod_notify_tick(tuvod_status_summary(&tuvod));
    } while (tuvod.run || first_pass);
}

// Order: stop taking requests (legacy listener, network listeners and
// reads); let the synchronous ones (workers, legacy connections) finish;
// end the asynchronous runs; flush replies (at most 5 s) and close every
// connection; and only then, with no thread left that could use it, close
// the database.
void shut_down(const options_t &opts) {
    tuvod_notify_stopping();
    tuvo_legacy_stop(&tuvod);
    const int64_t begun = monotonic_ms();
    tuvod_deadman_t *shutdown_dm =
        tuvod_start_deadman(&tuvod, SHUTDOWN_DEADMAN_S, opts.do_abort ? TUVOD_DEADMAN_ABORT : TUVOD_DEADMAN_QUIT,
                            "shutdown", "shutting down workers");
    PRINT_INFO(INFO_WARN, "Initiating shutdown for tuvod instance %s on %s\n", uuid_text(),
               tuvod.my_hostname);
    // Workers first: once the transport stops reading they find nothing
    // more to take, and should not ask again.
    tuvod_start_shutdown(&tuvod);
    tuvod_router_stop_reading(&tuvod);
    tuvod_wait_for_workers_shutdown(&tuvod);
    tuvo_legacy_wait(&tuvod);
    // Asynchronous runs: stopped by their own escalation, killed if that
    // outlasts the deadman's time less a margin for recording them, and
    // recorded "LOST" while the database is open.
    async_runs_stop(&tuvod, begun + ASYNC_ESCALATION_MS);
    if (shutdown_dm != nullptr)
        tuvod_deadman_reset(shutdown_dm, 10, "shutting down router");
    tuvod_shutdown_router(&tuvod);
    tuvod_free_workers(&tuvod);
    // The sweep is the last user of the database; under the deadman too.
    tuvod_stop_retention();
    if (shutdown_dm != nullptr)
        tuvod_stop_deadman(shutdown_dm);
    tuvod_cmd_db_close(&tuvod);
    procgroup_finish();
    PRINT_INFO(INFO_WARN, "Shutdown complete for tuvod instance %s on %s\n", uuid_text(),
               tuvod.my_hostname);
}

int run_daemon(int argc, char **argv, bool *do_abort) {
    umask(077); // every file the daemon creates is its own alone
    tuvod_sw_t sw;
    stopwatch_start(&sw);
    json_set_alloc_funcs(malloc, free);
    json_object_seed(0);
    debug_register_default_masks();

    options_t opts;
    parse_outcome outcome = parse_options(argc, argv, &opts);
    *do_abort = opts.do_abort;
    if (outcome == parse_outcome::exit_ok)
        return 0;
    if (outcome == parse_outcome::exit_fail)
        return 1;
    apply_level_precedence(opts);

    if (!start_up(opts, &sw)) {
        tuvod_stop_retention();
        remove_pid_file(opts.pid_file);
        return 1;
    }
    main_loop();
    shut_down(opts);
    remove_pid_file(opts.pid_file);
    return 0;
}

} // namespace

void tuvod_start_shutdown(tuvod_state_t *state) {
    mutex_guard lock(&state->workers_mutex);
    for (tuvod_worker_list_t *node = state->tuvod_workers; node != nullptr; node = node->next) {
        tuvod_worker_t *worker = node->worker;
        worker->run = false;
        bool started;
        {
            mutex_guard wlock(&worker->mutex);
            started = worker->started;
        }
        if (started) {
            PRINT_INFO(INFO_INFO, "Signalling worker for %s\n", worker->worker_uuid_str.c_str());
            pthread_kill(worker->thread, SIGUSR1);
        }
    }
}

int main(int argc, char **argv) {
    bool do_abort = false;
    int status = 1;
    try {
        status = run_daemon(argc, argv, &do_abort);
    } catch (...) {
        PRINT_INFO(INFO_ERROR, "Unexpected failure in tuvod\n");
        status = 1;
    }
    if (do_abort) {
        PRINT_INFO(INFO_WARN, "Dumping core by request\n");
        abort();
    }
    // Threads that a failed start-up left running, or detached ones still
    // unwinding, must not meet destroyed static objects: no exit handlers.
    fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check(); // what the skipped exit handlers would have done
#endif
    _exit(status);
}
