// tuvoctl: command-line client for tuvod. Parses the command line, sends
// one request and renders the answer; the work is done in the ctl library.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "ctl.hpp"
#include "utils.hpp"

namespace {

int usage_error(const std::string &err) {
    fprintf(stderr, "tuvoctl: %s\nTry 'tuvoctl --help'.\n", err.c_str());
    return CTL_EXIT_USAGE;
}

// The authority of a request: -a, then $TUVOCTL_AUTHORITY, then (for the
// scripts) what the local configuration gives the path, as the legacy
// gateway does.
bool resolve_authority(ctl_options_t *opts) {
    if (opts->authority_set)
        return true;
    if (const char *env = getenv("TUVOCTL_AUTHORITY"); env != nullptr) {
        opts->authority = env;
        return true;
    }
    if (opts->cmd != ctl_cmd_t::run && opts->cmd != ctl_cmd_t::start)
        return true;
    return ctl_local_authority(CTL_DEFAULT_SCRIPTS_DIR, opts->argv[0], &opts->authority) == 0;
}

int do_script_config(const ctl_options_t &opts) {
    std::string err, warning;
    json_ptr config = ctl_script_config(opts, &err, &warning);
    if (!config) {
        fprintf(stderr, "tuvoctl: script-config: %s\n", err.empty() ? "out of memory" : err.c_str());
        return CTL_EXIT_FAILED;
    }
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
    if (rc != 0) {
        fprintf(stderr, "tuvoctl: legacy: %s\n", err.c_str());
        return rc;
    }
    if (opts.json) {
        json_ptr answer(json_pack("{s:i, s:s%}", "exitStatus", status, "stdout", data.data(), data.size()));
        char *text = answer ? json_dumps(answer.get(), JSON_INDENT(2)) : nullptr;
        if (text != nullptr)
            printf("%s\n", text);
        free(text);
    } else {
        fwrite(data.data(), 1, data.size(), stdout);
    }
    return status & 0xff;
}

int do_request(ctl_options_t &opts) {
    if (!resolve_authority(&opts))
        return usage_error(std::string(ctl_cmd_name(opts.cmd)) + ": no authority for " +
                           opts.argv[0] + "; give -a AUTHORITY or set TUVOCTL_AUTHORITY");
    std::string uuid = opts.uuid;
    if (uuid.empty()) {
        cstr_ptr fresh(generate_uuid_str());
        if (!fresh) {
            fprintf(stderr, "tuvoctl: cannot make a request identifier\n");
            return CTL_EXIT_FAILED;
        }
        uuid = fresh.get();
    }
    json_ptr req = ctl_request_for(opts, uuid);
    if (!req) {
        fprintf(stderr, "tuvoctl: cannot build the request (an argument that is not UTF-8?)\n");
        return CTL_EXIT_USAGE;
    }
    json_ptr reply;
    std::string err;
    int rc = ctl_call(opts.endpoint, ctl_timeout_ms(opts), req.get(), &reply, &err);
    if (rc != 0) {
        fprintf(stderr, "tuvoctl: %s\n", err.c_str());
        return rc;
    }
    return ctl_render_reply(opts, uuid, reply.get(), stdout, stderr);
}

int run(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ctl_options_t opts;
    std::string err;
    if (ctl_parse_args(args, &opts, &err) != 0)
        return usage_error(err);
    if (opts.version) {
        printf("tuvoctl %s\n", TUVOCTL_VERSION);
        return CTL_EXIT_OK;
    }
    if (opts.help || opts.cmd == ctl_cmd_t::none) {
        fputs(ctl_help_text(opts.cmd), stdout);
        return CTL_EXIT_OK;
    }
    switch (opts.cmd) {
    case ctl_cmd_t::script_config:
        return do_script_config(opts);
    case ctl_cmd_t::check_scripts: {
        ctl_check_report_t report;
        return ctl_check_scripts(opts.scripts_dir, opts.quiet, stdout, &report);
    }
    case ctl_cmd_t::legacy:
        return do_legacy(opts);
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
        fprintf(stderr, "tuvoctl: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "tuvoctl: unexpected failure\n");
    }
    return CTL_EXIT_FAILED;
}
