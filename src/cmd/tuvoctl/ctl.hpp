// tuvoctl: the administrator's client for tuvod.
//
// The logic lives in a small library (argument parsing, the request
// envelope, the legacy framing, script configuration output and checks) so
// that it can be tested without a daemon; tuvoctl.cpp only wires it to the
// process. Functions report failures through their result and an error text;
// nothing here writes to the terminal except the functions that take the
// streams to write to.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "handles.hpp"

// Exit statuses. A script's own status (0-255) is passed through by `run`,
// so the client's statuses sit where scripts rarely go: the sysexits values
// for client-side failures and the 124-127 range, as shells and
// command-running tools use it, for a command that did not complete.
enum ctl_exit_t : int {
    CTL_EXIT_OK = 0,
    CTL_EXIT_FAILED = 1,          // the daemon reported errors; check-scripts found problems
    CTL_EXIT_USAGE = 64,          // bad command line
    CTL_EXIT_UNAVAILABLE = 69,    // no daemon answered
    CTL_EXIT_TEMPFAIL = 75,       // get: the command is still running
    CTL_EXIT_PROTOCOL = 76,       // an answer that cannot be understood
    CTL_EXIT_CONFIG = 78,         // the client configuration file is refused
    CTL_EXIT_TIMEDOUT = 124,      // the command overran its time-out (TIMEDOUT, WONTDIE)
    CTL_EXIT_NOT_RUN = 125,       // any other final state (FAILED, DIED, ABNORMAL_EXOIT, ...)
    CTL_EXIT_INVALID_SCRIPT = 126, // the executable failed validation
    CTL_EXIT_INVALID_CMD = 127,   // no script is configured with that path
    CTL_EXIT_INTERRUPTED = 130,   // Ctrl-C (or SIGTERM) while waiting for the daemon
};

enum class ctl_cmd_t {
    none, run, start, get, list, clear, legacy, script_config, check_scripts, check_config, status, metrics,
    cancel
};

struct ctl_kill_step_t {
    int sig;
    int timeout;
};

inline constexpr const char *CTL_DEFAULT_ENDPOINT = "tcp://127.0.0.1:5557";
inline constexpr const char *CTL_DEFAULT_SCRIPTS_DIR = "/lumo/conf/tuvod/script_config.d";
inline constexpr const char *CTL_DEFAULT_DAEMON_CONFIG = "/lumo/conf/tuvod/config.json";
inline constexpr const char *CTL_LEGACY_ADDR = "127.0.0.1";
inline constexpr int CTL_LEGACY_PORT = 4562;
// Commands that wait for a script get longer than the ones that only read records.
inline constexpr int CTL_TIMEOUT_QUERY_S = 30;
inline constexpr int CTL_TIMEOUT_SCRIPT_S = 900;

// Client certificate, its key and the CA that signed the daemon's
// certificate (PEM file names); all three are needed for a tls+tcp:// endpoint.
struct ctl_tls_t {
    std::string cert;
    std::string key;
    std::string ca;
};

struct ctl_options_t {
    ctl_cmd_t cmd = ctl_cmd_t::none;
    bool help = false;     // --help: for cmd when one is named, else the overview
    bool version = false;
    bool json = false;
    std::string endpoint = CTL_DEFAULT_ENDPOINT;
    bool endpoint_set = false; // -e given: the configuration file's endpoint does not apply
    ctl_tls_t tls;         // --cert, --key, --ca
    std::string config;    // --config
    int timeout_s = -1;    // -1: the command's default

    // run, start (and the authority of every request)
    std::string authority;
    bool authority_set = false;
    std::string uuid;
    std::vector<std::string> argv;

    // get, clear
    std::string target_uuid;
    std::vector<std::string> properties;
    bool peek = false;
    bool force = false;

    // list (and clear --state)
    std::string cmd_pattern = "%";
    std::string state_pattern = "%";
    bool ids_only = false;   // list -q: request identifiers only
    bool long_list = false;  // list -l: with --json, every column of the table
    std::string clear_state; // clear --state: every record in that state

    // legacy
    std::string legacy_line;

    // script-config
    std::string executable;
    std::string name;
    int script_timeout = 60;
    bool concurrent = false;
    bool nonblock = false;
    std::vector<int> redact;
    std::vector<ctl_kill_step_t> kill;
    // The confinement members, as given; checked by the daemon's own reader.
    std::string run_as;                  // USER[:GROUP]
    std::vector<std::string> run_groups; // supplementary
    bool caps_given = false;
    std::vector<std::string> caps;
    bool no_new_privs = false;
    bool clean_env = false;
    std::vector<std::string> env; // NAME=VALUE
    std::string working_dir;
    std::string umask;
    bool secrets_stdin = false;

    // check-scripts
    std::string scripts_dir = CTL_DEFAULT_SCRIPTS_DIR;
    // check-config
    std::string daemon_config = CTL_DEFAULT_DAEMON_CONFIG;
    bool strict = false; // warnings fail the check too
    bool quiet = false;
};

// ---- Printing text from the daemon ----

// Text that the daemon or another caller chose (ids, names, states, error
// strings, status fields) as it may be printed on a terminal: controls,
// C1 controls, Unicode line and direction controls and bytes that are no
// UTF-8 escaped (\n, \xHH, \uHHHH), so no terminal sequence gets through.
// Null gives "". Command output is printed raw, never through this.
std::string ctl_escape(const char *text);
std::string ctl_escape(const std::string &text);

// ---- Command line ----

// Parses the arguments after the program name. 0 with *opts filled; -1 with
// a one-line reason in *err (the caller exits with CTL_EXIT_USAGE).
int ctl_parse_args(const std::vector<std::string> &args, ctl_options_t *opts, std::string *err);
// The reply time-out in milliseconds for the parsed command.
int ctl_timeout_ms(const ctl_options_t &opts);
// Help text for a command (ctl_cmd_t::none: the overview).
const char *ctl_help_text(ctl_cmd_t cmd);
const char *ctl_cmd_name(ctl_cmd_t cmd);
// A signal given by number or name (TERM, SIGTERM); -1 when unknown.
int ctl_signal_number(const std::string &text);

// ---- Requests and replies ----

// A new request envelope; args_stolen is consumed in every case. Null only
// when memory runs out.
json_ptr ctl_request(const std::string &uuid, const std::string &authority, const char *op,
                     json_t *args_stolen);
// The request envelope for a parsed command (run, start, get, list, clear).
json_ptr ctl_request_for(const ctl_options_t &opts, const std::string &uuid);
// A reply body (JSON text, ending at the first NUL or at len) as a new
// reference, or null with the parser's reason in *err.
json_ptr ctl_parse_reply(const char *body, size_t len, std::string *err);
// The exit status for a "state" name of a command that did not complete.
int ctl_state_exit(const char *state);

// Writes what a reply means for the command and returns the exit status:
// run writes the script's output and returns its status; the others print
// their result. Error entries go to err_out.
int ctl_render_reply(const ctl_options_t &opts, const std::string &uuid, json_t *reply,
                     FILE *out, FILE *err_out);

// A client-side failure: with --json a JSON object on out
// ({"error": text, "exitStatus": rc}), else "tuvoctl: text" on err_out.
// Returns rc.
int ctl_report_failure(bool json, int rc, const std::string &text, FILE *out, FILE *err_out);
// Whether the raw arguments ask for JSON output (for failures found before
// or while parsing them).
bool ctl_args_want_json(const std::vector<std::string> &args);

// Sends one request on a REQ socket and waits for the reply. 0 with *reply
// set; otherwise the exit status (CTL_EXIT_UNAVAILABLE or CTL_EXIT_PROTOCOL)
// with the reason in *err.
int ctl_call(const std::string &endpoint, int timeout_ms, json_t *req, json_ptr *reply,
             std::string *err, const ctl_tls_t *tls = nullptr);
// Interrupts (SIGINT, SIGTERM) received while ctl_interruptible() is on; a
// wait for the daemon notices the first within a tenth of a second and ends
// with CTL_EXIT_INTERRUPTED.
int ctl_interrupts();
// Catches SIGINT and SIGTERM from now on (counting them); off: the default
// dispositions again.
void ctl_interruptible(bool on);
// Whether a wait should end: interruptible and interrupted more than seen
// times.
bool ctl_interrupted_since(int seen);

// One request text (sent with its NUL) and the reply body from the daemon
// at endpoint, within timeout_ms; 0, or an exit status with the reason in *err.
int ctl_exchange(const std::string &endpoint, int timeout_ms, const std::string &text, std::string *body,
                 std::string *err, const ctl_tls_t *tls);
// The TLS settings for opts' endpoint: none for cleartext; for tls+tcp://
// all three files must be given. -1 with the reason in *err when the
// options do not fit the endpoint.
int ctl_tls_for(const ctl_options_t &opts, const ctl_tls_t **tls, std::string *err);
inline bool ctl_is_tls_endpoint(const std::string &endpoint) { return endpoint.rfind("tls+tcp://", 0) == 0; }
// The TLS settings for a tls+tcp:// endpoint, none for cleartext.
inline const ctl_tls_t *ctl_tls_of(const ctl_options_t &opts) {
    return ctl_is_tls_endpoint(opts.endpoint) ? &opts.tls : nullptr;
}

// Why an endpoint cannot be dialled as written (no port, a bad port, an
// unknown scheme), or empty when it can.
std::string ctl_endpoint_problem(const std::string &endpoint);

// ---- Failure messages (one sentence each, with what to do) ----

// An endpoint without a port; host as written in it.
std::string ctl_msg_no_port(const std::string &endpoint, const std::string &host);
std::string ctl_msg_bad_port(const std::string &endpoint);
// A cleartext endpoint that reached a TLS listener: it answered in TLS
// (answered_tls), or closed without the greeting a cleartext listener sends.
std::string ctl_msg_cleartext_at_tls(const std::string &endpoint, bool answered_tls);
// A tls+tcp:// endpoint that reached a cleartext listener.
std::string ctl_msg_tls_at_cleartext(const std::string &endpoint);
// No connection to the legacy gateway at where: err is the connect's errno,
// 0 for a time-out.
std::string ctl_msg_legacy_unreachable(const std::string &where, int err);
// The gateway closed the connection before any answer, as it does for a
// caller that is not root or in "legacyUsers"; uid is the caller's.
std::string ctl_msg_legacy_closed(const std::string &where, unsigned uid);
// What a legacy status means when it is the gateway's own "no such script"
// (102 with no output); empty otherwise. configured: what the local script
// configuration says of path (0 names it, 1 does not, -1 unreadable).
std::string ctl_legacy_status_note(int32_t status, size_t data_len, const std::string &path, int configured);

// ---- Client configuration file ----

// What the file may hold: the endpoint and the TLS files (as -e, --cert,
// --key, --ca). Relative file names are taken from the file's directory.
struct ctl_file_config_t {
    std::string endpoint;
    ctl_tls_t tls;
};
// The file to read: --config, else $TUVOCTL_CONFIG, else tuvoctl.json in
// $XDG_CONFIG_HOME (or ~/.config). *required is false for that last one,
// which is read only when it exists. Empty when there is none. env looks
// up an environment variable (getenv).
std::string ctl_config_path(const ctl_options_t &opts, const char *(*env)(const char *), bool *required);
// Reads and checks the file: a regular file of at most 64 KiB, owned by the
// caller or root and writable by nobody else (it says where authorities go
// and which CA to trust), one JSON object of known keys with non-empty
// string values. 0, or -1 with the reason in *err. With required false, a
// file that does not exist is no configuration (0, *found false).
int ctl_read_config(const std::string &path, bool required, ctl_file_config_t *cfg, bool *found,
                    std::string *err);
// Fills what the command line left unset: the endpoint unless -e was given,
// then, for a tls+tcp:// endpoint only, each TLS file not given.
void ctl_apply_config(const ctl_file_config_t &cfg, ctl_options_t *opts);
// Whether the command talks to the daemon's request socket (and so reads
// the configuration file).
bool ctl_uses_endpoint(ctl_cmd_t cmd);

// ---- Records (list, get, clear --state) ----

// One recorded command as list shows it; text as the daemon sent it
// (escaped when printed).
struct ctl_record_t {
    std::string uuid, name, state, start, finish;
    bool has_exit = false;
    int exit_status = 0;
};

// Seconds since the epoch of a daemon time stamp
// ("2026-12-06T06:12:30.004211+0100"); false when it does not parse.
bool ctl_parse_stamp(const std::string &stamp, double *epoch_s);
// A duration for people: "850ms", "12.3s", "4m05s", "2h03m", "3d04h".
std::string ctl_human_duration(double seconds);
// The record of a get reply (properties name, state, start, finish,
// output); false when the reply is an error.
bool ctl_record_from_reply(const std::string &uuid, json_t *reply, ctl_record_t *rec);
// Sorted by start time (oldest first), then by identifier.
void ctl_sort_records(std::vector<ctl_record_t> *records);
// Run time (finished) or elapsed time (running) as of now_s; false when
// the record has neither.
bool ctl_record_seconds(const ctl_record_t &r, double now_s, double *seconds);
// The table list prints: a header, then one aligned line per record with
// elapsed time (running) or run time (finished) as of now_s.
std::string ctl_format_records(const std::vector<ctl_record_t> &records, double now_s);
// The same columns as JSON (list --long --json): an array of objects with
// "requestUUID", "name", "state", "start", "finish", "seconds" and
// "exitStatus", null where the table shows "-". Null when memory runs out.
json_ptr ctl_records_json(const std::vector<ctl_record_t> &records, double now_s);
// Lists the records matching the options' patterns and fetches each one
// (peeking). 0, or an exit status with the reason in *err.
int ctl_fetch_records(const ctl_options_t &opts, std::vector<ctl_record_t> *records,
                      std::string *err);
// The identifiers of the records matching the patterns (one list request).
int ctl_list_ids(const ctl_options_t &opts, std::vector<std::string> *ids, std::string *err);

// ---- Status and metrics ----

// The status answer for people: aligned figures, human durations.
std::string ctl_format_status(json_t *status);
// The status answer in the Prometheus text exposition format.
std::string ctl_format_metrics(json_t *status);

// ---- Legacy protocol ----

// Request bytes: the text's length as 4 little-endian bytes, then the text.
std::string ctl_legacy_encode(const std::string &line);
// 1 with status and data when buf holds a whole answer, 0 when more is
// needed, -1 when the announced length is implausible.
int ctl_legacy_decode(const std::string &buf, int32_t *status, std::string *data);
// One exchange with the gateway. 0 with status and data; otherwise the exit
// status with the reason in *err.
int ctl_legacy_call(const char *addr, int port, const std::string &line, int timeout_ms,
                    int32_t *status, std::string *data, std::string *err);

// ---- Script configurations ----

// A script configuration for the options, with the executable's digest.
// Null with the reason in *err; *warning tells of a configuration that
// loads but will not behave as the administrator may expect.
json_ptr ctl_script_config(const ctl_options_t &opts, std::string *err, std::string *warning);
// The configuration as its file holds it (4-space indent, final newline).
std::string ctl_script_config_text(json_t *config);

struct ctl_check_report_t {
    int files = 0;    // "*.json" entries the daemon would read
    int valid = 0;    // files that load and whose executable passes
    int problems = 0;
};
// Checks a script configuration directory with the daemon's own loading and
// validation. Writes one line per file to out (problems only when quiet);
// the daemon's own messages go to its log (standard error). 0 when clean,
// CTL_EXIT_FAILED when anything is wrong.
int ctl_check_scripts(const std::string &dir, bool quiet, FILE *out, ctl_check_report_t *report);

// Checks a daemon configuration file with the daemon's own checks: one
// line per problem, in the daemon's words, then one "warning: " line per
// warning (unknown keys, addresses that cannot be bound), then
// "<file>: ok" when there is no problem. 0 when the daemon would accept it
// (strict: and has no warning), CTL_EXIT_FAILED otherwise.
int ctl_check_config(const std::string &path, bool strict, FILE *out);

// The authority that the first file of dir configures for the script path
// (the daemon's own choice when two files name it). 0 when found, 1 when
// the directory was read and no file names the path, -1 when it cannot be
// read.
int ctl_local_authority(const std::string &dir, const std::string &path, std::string *authority);
