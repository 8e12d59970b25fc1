// tuvoctl: command-line client for tuvod. Parses the command line, sends
// one request and renders the answer; the work is done in the ctl library.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "ctl.hpp"
#include "utils.hpp"

namespace {

// Set once the command line asks for JSON: every failure is then JSON too.
bool json_output = false;

int fail(int rc, const std::string &text) {
    return ctl_report_failure(json_output, rc, text, stdout, stderr);
}

int usage_error(const std::string &err) {
    if (json_output)
        return fail(CTL_EXIT_USAGE, err);
    fprintf(stderr, "tuvoctl: %s\nTry 'tuvoctl --help'.\n", err.c_str());
    return CTL_EXIT_USAGE;
}

// The path a recorded command ran, from its (masked) arguments: the
// daemon keeps the script's path as the first one unless it is secret.
std::string recorded_path(const ctl_options_t &opts) {
    json_ptr req = ctl_request(opts.target_uuid, opts.authority, "get",
                               json_pack("{s:[s], s:b}", "properties", "args", "peek", 1));
    json_ptr reply;
    std::string err;
    if (!req || ctl_call(opts.endpoint, ctl_timeout_ms(opts), req.get(), &reply, &err, ctl_tls_of(opts)) != 0)
        return "";
    const char *path = json_string_value(
        json_array_get(json_object_get(json_object_get(reply.get(), "result"), "args"), 0));
    return path != nullptr ? path : "";
}

// The authority of a request: -a, then $TUVOCTL_AUTHORITY, then (for the
// scripts) what the local configuration gives the path, as the legacy
// gateway does. 0 when known (or not needed); 1 when the local
// configuration, readable here, names no such script; -1 otherwise.
int resolve_authority(ctl_options_t *opts) {
    if (opts->authority_set)
        return 0;
    if (const char *env = getenv("TUVOCTL_AUTHORITY"); env != nullptr) {
        opts->authority = env;
        return 0;
    }
    if (opts->cmd == ctl_cmd_t::cancel) {
        std::string path = recorded_path(*opts);
        return !path.empty() && ctl_local_authority(CTL_DEFAULT_SCRIPTS_DIR, path, &opts->authority) == 0 ? 0
                                                                                                           : -1;
    }
    if (opts->cmd != ctl_cmd_t::run && opts->cmd != ctl_cmd_t::start)
        return 0;
    return ctl_local_authority(CTL_DEFAULT_SCRIPTS_DIR, opts->argv[0], &opts->authority);
}

int do_list(const ctl_options_t &opts) {
    std::string err;
    if (opts.ids_only) {
        std::vector<std::string> ids;
        int rc = ctl_list_ids(opts, &ids, &err);
        if (rc != 0)
            return fail(rc, err);
        for (const std::string &id : ids)
            printf("%s\n", ctl_escape(id).c_str());
        return CTL_EXIT_OK;
    }
    std::vector<ctl_record_t> records;
    int rc = ctl_fetch_records(opts, &records, &err);
    if (rc != 0)
        return fail(rc, err);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    double now_s = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
    if (opts.json) {
        json_ptr list = ctl_records_json(records, now_s);
        cstr_ptr text(list ? json_dumps(list.get(), JSON_INDENT(2) | JSON_ENSURE_ASCII) : nullptr);
        if (!text)
            return fail(CTL_EXIT_FAILED, "out of memory");
        printf("%s\n", text.get());
        return CTL_EXIT_OK;
    }
    fputs(ctl_format_records(records, now_s).c_str(), stdout);
    return CTL_EXIT_OK;
}

// clear --state: every record in that state, one clear each. A running
// record needs --force, as for a single clear.
int do_clear_state(const ctl_options_t &opts) {
    std::string err;
    std::vector<std::string> ids;
    ctl_options_t pattern = opts;
    pattern.state_pattern = opts.clear_state;
    int rc = ctl_list_ids(pattern, &ids, &err);
    if (rc != 0)
        return fail(rc, err);
    int cleared = 0, failed = 0;
    for (const std::string &id : ids) {
        ctl_options_t one = opts;
        one.target_uuid = id;
        json_ptr req = ctl_request_for(one, id);
        json_ptr reply;
        if (!req)
            return fail(CTL_EXIT_USAGE, "cannot build the request");
        rc = ctl_call(opts.endpoint, ctl_timeout_ms(opts), req.get(), &reply, &err, ctl_tls_of(opts));
        if (rc != 0)
            return fail(rc, err);
        if (json_array_size(json_object_get(reply.get(), "errors")) == 0)
            cleared++;
        else
            failed++;
    }
    if (json_output) {
        json_ptr obj(json_pack("{s:i, s:i}", "cleared", cleared, "failed", failed));
        cstr_ptr text(obj ? json_dumps(obj.get(), JSON_INDENT(2)) : nullptr);
        if (text)
            printf("%s\n", text.get());
    } else {
        printf("%d cleared%s\n", cleared,
               failed > 0 ? (", " + std::to_string(failed) + " not cleared").c_str() : "");
    }
    return failed > 0 ? CTL_EXIT_FAILED : CTL_EXIT_OK;
}

int do_script_config(const ctl_options_t &opts) {
    std::string err, warning;
    json_ptr config = ctl_script_config(opts, &err, &warning);
    if (!config)
        return fail(CTL_EXIT_FAILED, "script-config: " + (err.empty() ? std::string("out of memory") : err));
    if (!warning.empty())
        fprintf(stderr, "tuvoctl: warning: %s\n", warning.c_str());
    fputs(ctl_script_config_text(config.get()).c_str(), stdout);
    return CTL_EXIT_OK;
}

int do_legacy(const ctl_options_t &opts) {
    int32_t status = 0;
    std::string data, err;
    int rc = ctl_legacy_call(CTL_LEGACY_ADDR, CTL_LEGACY_PORT, opts.legacy_line,
                             ctl_timeout_ms(opts), &status, &data, &err);
    if (rc != 0)
        return fail(rc, "legacy: " + err);
    // The gateway runs the script whose path is the first word, up to a blank.
    std::string path = opts.legacy_line.substr(0, opts.legacy_line.find(' '));
    std::string authority;
    std::string note = status == 102 && data.empty()
                           ? ctl_legacy_status_note(status, data.size(), path,
                                                    ctl_local_authority(CTL_DEFAULT_SCRIPTS_DIR, path, &authority))
                           : std::string();
    if (opts.json) {
        json_ptr answer(json_pack("{s:i, s:s%}", "exitStatus", status, "stdout", data.data(), data.size()));
        if (answer && !note.empty())
            json_object_set_new(answer.get(), "note", json_string(note.c_str()));
        char *text = answer ? json_dumps(answer.get(), JSON_INDENT(2)) : nullptr;
        if (text != nullptr)
            printf("%s\n", text);
        free(text);
    } else {
        fwrite(data.data(), 1, data.size(), stdout);
        if (!note.empty())
            fprintf(stderr, "tuvoctl: %s\n", note.c_str());
    }
    return status & 0xff;
}

// Ctrl-C during `run`: the command is cancelled with the same authority
// rather than left running unseen; a second Ctrl-C leaves at once. Either
// way the request's identifier is printed.
int interrupted_run(const ctl_options_t &opts, const std::string &uuid, const ctl_tls_t *tls) {
    int seen = ctl_interrupts();
    fprintf(stderr, "tuvoctl: interrupted; cancelling request %s (Ctrl-C again to leave it running)\n",
            uuid.c_str());
    json_ptr cancel(json_pack("{s:s, s:s, s:s, s:{s:s, s:s}}", "requestUUID", (uuid + "-cancel").c_str(),
                              "authority", opts.authority.c_str(), "op", "cancel", "args", "cmd", uuid.c_str(),
                              "authority", opts.authority.c_str()));
    json_ptr reply;
    std::string err;
    int rc = cancel ? ctl_call(opts.endpoint, 10000, cancel.get(), &reply, &err, tls) : CTL_EXIT_FAILED;
    if (rc == CTL_EXIT_INTERRUPTED || ctl_interrupted_since(seen)) {
        fprintf(stderr, "tuvoctl: left request %s running; cancel it with: tuvoctl cancel %s\n", uuid.c_str(),
                uuid.c_str());
        return CTL_EXIT_INTERRUPTED;
    }
    json_t *first = json_array_get(json_object_get(reply.get(), "errors"), 0);
    const char *why = json_string_value(json_object_get(first, "errorString"));
    if (rc != 0)
        fprintf(stderr, "tuvoctl: request %s may still run (%s); see: tuvoctl get %s\n", uuid.c_str(),
                ctl_escape(err).c_str(), uuid.c_str());
    else if (why != nullptr)
        fprintf(stderr, "tuvoctl: request %s not cancelled: %s\n", uuid.c_str(), ctl_escape(why).c_str());
    else
        fprintf(stderr, "tuvoctl: request %s cancelled; its outcome: tuvoctl get %s\n", uuid.c_str(), uuid.c_str());
    return CTL_EXIT_INTERRUPTED;
}

int do_request(ctl_options_t &opts) {
    int known = resolve_authority(&opts);
    // Where the configuration can be read, a path it does not name is no
    // script at all, whatever authority would be given.
    if (known == 1)
        return fail(CTL_EXIT_INVALID_CMD, opts.argv[0] + ": no such script (no configuration in " +
                                              CTL_DEFAULT_SCRIPTS_DIR + " names it)");
    if (known != 0)
        return usage_error(std::string(ctl_cmd_name(opts.cmd)) + ": no authority for " +
                           (opts.cmd == ctl_cmd_t::cancel ? opts.target_uuid : opts.argv[0]) +
                           "; give -a AUTHORITY or set TUVOCTL_AUTHORITY");
    std::string uuid = opts.uuid;
    if (uuid.empty()) {
        cstr_ptr fresh(generate_uuid_str());
        if (!fresh)
            return fail(CTL_EXIT_FAILED, "cannot make a request identifier");
        uuid = fresh.get();
    }
    json_ptr req = ctl_request_for(opts, uuid);
    if (!req)
        return fail(CTL_EXIT_USAGE, "cannot build the request (an argument that is not UTF-8?)");
    json_ptr reply;
    std::string err;
    const ctl_tls_t *tls = nullptr;
    if (ctl_tls_for(opts, &tls, &err) != 0)
        return fail(CTL_EXIT_USAGE, err);
    bool sync_run = opts.cmd == ctl_cmd_t::run;
    if (sync_run)
        ctl_interruptible(true);
    int rc = ctl_call(opts.endpoint, ctl_timeout_ms(opts), req.get(), &reply, &err, tls);
    if (sync_run && rc == CTL_EXIT_INTERRUPTED) {
        rc = interrupted_run(opts, uuid, tls);
        ctl_interruptible(false);
        return rc;
    }
    ctl_interruptible(false);
    if (sync_run && rc == CTL_EXIT_UNAVAILABLE && err.rfind("no answer from tuvod", 0) == 0)
        err += "; the command may still run as request " + uuid + ": follow it with tuvoctl get " + uuid +
               ", or end it with tuvoctl cancel " + uuid;
    if (rc != 0)
        return fail(rc, err);
    return ctl_render_reply(opts, uuid, reply.get(), stdout, stderr);
}

// The configuration file's settings under the command line's.
int load_config(ctl_options_t *opts) {
    bool required = false, found = false;
    std::string path = ctl_config_path(*opts, [](const char *name) -> const char * { return getenv(name); },
                                       &required);
    ctl_file_config_t cfg;
    std::string err;
    if (path.empty())
        return CTL_EXIT_OK;
    if (ctl_read_config(path, required, &cfg, &found, &err) != 0)
        return fail(CTL_EXIT_CONFIG, err);
    ctl_apply_config(cfg, opts);
    return CTL_EXIT_OK;
}

int run(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ctl_options_t opts;
    std::string err;
    json_output = ctl_args_want_json(args);
    if (ctl_parse_args(args, &opts, &err) != 0)
        return usage_error(err);
    json_output = opts.json;
    if (opts.version) {
        printf("tuvoctl %s\n", TUVOCTL_VERSION);
        return CTL_EXIT_OK;
    }
    if (opts.help || opts.cmd == ctl_cmd_t::none) {
        fputs(ctl_help_text(opts.cmd), stdout);
        return CTL_EXIT_OK;
    }
    if (ctl_uses_endpoint(opts.cmd)) {
        if (int rc = load_config(&opts); rc != CTL_EXIT_OK)
            return rc;
    }
    switch (opts.cmd) {
    case ctl_cmd_t::script_config:
        return do_script_config(opts);
    case ctl_cmd_t::check_scripts: {
        ctl_check_report_t report;
        return ctl_check_scripts(opts.scripts_dir, opts.quiet, stdout, &report);
    }
    case ctl_cmd_t::check_config:
        return ctl_check_config(opts.daemon_config, opts.strict, stdout);
    case ctl_cmd_t::legacy:
        return do_legacy(opts);
    case ctl_cmd_t::list:
        // --json alone stays the daemon's own answer.
        if (!opts.json || opts.long_list)
            return do_list(opts);
        return do_request(opts);
    case ctl_cmd_t::clear:
        if (!opts.clear_state.empty())
            return do_clear_state(opts);
        return do_request(opts);
    default:
        return do_request(opts);
    }
}

} // namespace

int main(int argc, char **argv) {
    try {
        int rc = run(argc, argv);
        if (fflush(stdout) != 0 && rc == CTL_EXIT_OK)
            rc = CTL_EXIT_FAILED;
        return rc;
    } catch (const std::exception &e) {
        fail(CTL_EXIT_FAILED, e.what());
    } catch (...) {
        fail(CTL_EXIT_FAILED, "unexpected failure");
    }
    return CTL_EXIT_FAILED;
}
