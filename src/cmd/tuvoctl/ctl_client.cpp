// tuvoctl's side of the JSON protocol: building request envelopes, one
// exchange with the daemon (ctl_transport.cpp), and turning replies into
// output and exit statuses.
//
// Protocol: one request, one reply. The request is the compact JSON text of
// {"requestUUID", "authority", "op", "args"} followed by a NUL byte; the
// reply is compact JSON plus a NUL.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "ctl.hpp"
#include "wire.hpp"
#include "info.hpp"
#include "utils.hpp"

namespace {

constexpr const char *all_properties[] = {"name", "state", "args", "start", "finish", "output", "errors"};
constexpr const char *tls_files_needed =
    "a tls+tcp:// endpoint needs --cert, --key and --ca (or certFile, keyFile and caFile in the "
    "configuration file)";

const char *code_name(json_int_t code) {
    switch (code) {
    case TUVOD_EPERM:
        return "EPERM";
    case TUVOD_ENOENT:
        return "ENOENT";
    case TUVOD_EIO:
        return "EIO";
    case TUVOD_ENOMEM:
        return "ENOMEM";
    case TUVOD_EINVAL:
        return "EINVAL";
    case TUVOD_ECANCELED:
        return "ECANCELED";
    case TUVOD_ETIMEDOUT:
        return "ETIMEDOUT";
    default:
        return "error";
    }
}

void print_errors(json_t *errors, FILE *err_out) {
    size_t i;
    json_t *entry;
    json_array_foreach(errors, i, entry) {
        json_int_t code = json_integer_value(json_object_get(entry, "errorCode"));
        const char *text = json_string_value(json_object_get(entry, "errorString"));
        fprintf(err_out, "tuvoctl: %s (%lld): %s\n", code_name(code), static_cast<long long>(code),
                text != nullptr ? ctl_escape(text).c_str() : "(no text)");
    }
}

bool has_errors(json_t *reply) { return json_array_size(json_object_get(reply, "errors")) > 0; }

// The daemon answers a clear of a running record without --force with
// ENOMEM (12), "Unable to delete": what that means, in words.
const char *clear_hint(const ctl_options_t &opts, json_t *reply) {
    if (opts.cmd != ctl_cmd_t::clear || opts.force)
        return nullptr;
    json_t *first = json_array_get(json_object_get(reply, "errors"), 0);
    const char *text = json_string_value(json_object_get(first, "errorString"));
    if (json_integer_value(json_object_get(first, "errorCode")) != TUVOD_ENOMEM || text == nullptr ||
        std::strncmp(text, "Unable to delete", 16) != 0)
        return nullptr;
    return "the command is still running (or unknown); use --force, or cancel it first";
}

void write_string(json_t *str, FILE *f) {
    if (json_is_string(str))
        fwrite(json_string_value(str), 1, json_string_length(str), f);
}

// A property's value: text escaped, anything else as ASCII-only JSON.
void print_value(json_t *value, FILE *out) {
    if (json_is_string(value)) {
        fputs(escape_outside_text(json_string_value(value), json_string_length(value)).c_str(), out);
        return;
    }
    char *text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY | JSON_ENSURE_ASCII);
    fputs(text != nullptr ? text : "null", out);
    free(text);
}

// What a command's final state means for run and start; stdout and stderr
// collected before the end (a time-out's partial output) are passed on.
int render_exec(const ctl_options_t &opts, const std::string &uuid, json_t *reply, FILE *out,
                FILE *err_out) {
    json_t *result = json_object_get(reply, "result");
    const char *state = json_string_value(json_object_get(result, "state"));
    if (state == nullptr) {
        fprintf(err_out, "tuvoctl: the answer has no command state\n");
        return CTL_EXIT_PROTOCOL;
    }
    json_t *output = json_object_get(result, "output");
    bool complete = strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_COMPLETE)) == 0;
    if (opts.cmd == ctl_cmd_t::start && strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_RUNNING)) == 0) {
        if (!opts.json)
            fprintf(out, "%s\n", ctl_escape(uuid).c_str());
        return CTL_EXIT_OK;
    }
    if (opts.cmd == ctl_cmd_t::run && complete) {
        json_t *status = json_object_get(output, "exitStatus");
        if (!json_is_integer(status)) {
            fprintf(err_out, "tuvoctl: the answer has no exit status\n");
            return CTL_EXIT_PROTOCOL;
        }
        if (!opts.json) {
            write_string(json_object_get(output, "stdout"), out);
            fflush(out);
            write_string(json_object_get(output, "stderr"), err_out);
        }
        return static_cast<int>(json_integer_value(status) & 0xff);
    }
    if (!opts.json) {
        write_string(json_object_get(output, "stdout"), out);
        fflush(out);
        write_string(json_object_get(output, "stderr"), err_out);
        fprintf(err_out, "tuvoctl: %s: %s\n", opts.argv.empty() ? "" : ctl_escape(opts.argv[0]).c_str(),
                ctl_escape(state).c_str());
        print_errors(json_object_get(reply, "errors"), err_out);
        print_errors(json_object_get(result, "errors"), err_out);
    }
    return ctl_state_exit(state);
}

int render_get(const ctl_options_t &opts, json_t *reply, FILE *out) {
    json_t *result = json_object_get(reply, "result");
    if (!opts.json && !has_errors(reply)) {
        std::vector<std::string> props = opts.properties;
        if (props.empty())
            props.assign(std::begin(all_properties), std::end(all_properties));
        for (const std::string &p : props) {
            fprintf(out, "%s: ", p.c_str());
            print_value(json_object_get(result, p.c_str()), out);
            fputc('\n', out);
        }
    }
    return has_errors(reply) ? CTL_EXIT_FAILED : CTL_EXIT_OK;
}

// get without properties: the command's output as run would show it, and
// its exit status (see run) as tuvoctl's.
int render_get_raw(const ctl_options_t &opts, json_t *reply, FILE *out, FILE *err_out) {
    json_t *result = json_object_get(reply, "result");
    if (has_errors(reply)) {
        print_errors(json_object_get(reply, "errors"), err_out);
        return CTL_EXIT_FAILED;
    }
    const char *state = json_string_value(json_object_get(result, "state"));
    if (state == nullptr) {
        fprintf(err_out, "tuvoctl: the answer has no command state\n");
        return CTL_EXIT_PROTOCOL;
    }
    if (strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_RUNNING)) == 0) {
        fprintf(err_out, "tuvoctl: %s: %s\n", ctl_escape(opts.target_uuid).c_str(), ctl_escape(state).c_str());
        return CTL_EXIT_TEMPFAIL;
    }
    json_t *output = json_object_get(result, "output");
    write_string(json_object_get(output, "stdout"), out);
    fflush(out);
    write_string(json_object_get(output, "stderr"), err_out);
    json_t *status = json_object_get(output, "exitStatus");
    if (strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_COMPLETE)) == 0 && json_is_integer(status))
        return static_cast<int>(json_integer_value(status) & 0xff);
    const char *name = json_string_value(json_object_get(result, "name"));
    fprintf(err_out, "tuvoctl: %s: %s\n", ctl_escape(name != nullptr ? name : opts.target_uuid.c_str()).c_str(),
            ctl_escape(state).c_str());
    print_errors(json_object_get(result, "errors"), err_out);
    return ctl_state_exit(state);
}

int render_list(const ctl_options_t &opts, json_t *reply, FILE *out) {
    if (!opts.json && !has_errors(reply)) {
        const char *key;
        json_t *value;
        json_object_foreach(json_object_get(reply, "result"), key, value) {
            fprintf(out, "%s %s\n", ctl_escape(key).c_str(), json_is_string(value) ? ctl_escape(json_string_value(value)).c_str() : "?");
        }
    }
    return has_errors(reply) ? CTL_EXIT_FAILED : CTL_EXIT_OK;
}

} // namespace

json_ptr ctl_request(const std::string &uuid, const std::string &authority, const char *op,
                     json_t *args_stolen) {
    return json_ptr(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", uuid.c_str(), "authority",
                              authority.c_str(), "op", op, "args", args_stolen));
}

json_ptr ctl_request_for(const ctl_options_t &opts, const std::string &uuid) {
    switch (opts.cmd) {
    case ctl_cmd_t::run:
    case ctl_cmd_t::start: {
        json_ptr argv(json_array());
        for (const std::string &a : opts.argv)
            if (json_array_append_new(argv.get(), json_stringn(a.data(), a.size())) != 0)
                return nullptr;
        return ctl_request(uuid, opts.authority, "execute",
                           json_pack("{s:o, s:b}", "argv", argv.release(), "asynchronous",
                                     opts.cmd == ctl_cmd_t::start));
    }
    case ctl_cmd_t::get: {
        json_ptr props(json_array());
        if (opts.properties.empty()) {
            for (const char *p : all_properties)
                json_array_append_new(props.get(), json_string(p));
        }
        for (const std::string &p : opts.properties)
            json_array_append_new(props.get(), json_stringn(p.data(), p.size()));
        return ctl_request(opts.target_uuid, opts.authority, "get",
                           json_pack("{s:o, s:b}", "properties", props.release(), "peek", opts.peek));
    }
    case ctl_cmd_t::list:
        return ctl_request(uuid, opts.authority, "list",
                           json_pack("{s:s, s:s}", "cmd", opts.cmd_pattern.c_str(), "state",
                                     opts.state_pattern.c_str()));
    case ctl_cmd_t::clear:
        return ctl_request(opts.target_uuid, opts.authority, "clear",
                           json_pack("{s:b}", "force", opts.force));
    case ctl_cmd_t::status:
    case ctl_cmd_t::metrics:
        return ctl_request(uuid, opts.authority, "status", json_object());
    case ctl_cmd_t::cancel:
        return ctl_request(uuid, opts.authority, "cancel",
                           json_pack("{s:s, s:s}", "cmd", opts.target_uuid.c_str(), "authority",
                                     opts.authority.c_str()));
    default:
        return nullptr;
    }
}

json_ptr ctl_parse_reply(const char *body, size_t len, std::string *err) {
    json_error_t error;
    // Script output may hold NUL bytes, which the daemon sends as \u0000.
    json_ptr reply(json_loadb(body, strnlen(body, len), JSON_ALLOW_NUL, &error));
    if (!reply) {
        *err = std::string("the answer is not JSON: ") + error.text;
        return nullptr;
    }
    if (!json_is_object(reply.get()) || !json_is_object(json_object_get(reply.get(), "result")) ||
        !json_is_array(json_object_get(reply.get(), "errors"))) {
        *err = "the answer is not a tuvod response";
        return nullptr;
    }
    return reply;
}

int ctl_state_exit(const char *state) {
    if (strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_TIMEDOUT)) == 0 ||
        strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_WONTDIE)) == 0)
        return CTL_EXIT_TIMEDOUT;
    if (strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_SCRIPT_INVALID)) == 0)
        return CTL_EXIT_INVALID_SCRIPT;
    if (strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_CMD_INVALID)) == 0)
        return CTL_EXIT_INVALID_CMD;
    return CTL_EXIT_NOT_RUN;
}

int ctl_render_reply(const ctl_options_t &opts, const std::string &uuid, json_t *reply, FILE *out,
                     FILE *err_out) {
    if (opts.json) {
        // ASCII only: C1 and direction controls in strings reach no terminal raw.
        char *text = json_dumps(reply, JSON_INDENT(2) | JSON_ENSURE_ASCII);
        if (text != nullptr)
            fprintf(out, "%s\n", text);
        free(text);
    }
    switch (opts.cmd) {
    case ctl_cmd_t::run:
    case ctl_cmd_t::start:
        return render_exec(opts, uuid, reply, out, err_out);
    case ctl_cmd_t::get:
        if (opts.properties.empty() && !opts.json)
            return render_get_raw(opts, reply, out, err_out);
        if (!opts.json)
            print_errors(json_object_get(reply, "errors"), err_out);
        return render_get(opts, reply, out);
    case ctl_cmd_t::list:
        if (!opts.json)
            print_errors(json_object_get(reply, "errors"), err_out);
        return render_list(opts, reply, out);
    case ctl_cmd_t::clear:
    case ctl_cmd_t::cancel:
        if (!opts.json) {
            print_errors(json_object_get(reply, "errors"), err_out);
            if (const char *hint = clear_hint(opts, reply))
                fprintf(err_out, "tuvoctl: %s\n", hint);
        }
        return has_errors(reply) ? CTL_EXIT_FAILED : CTL_EXIT_OK;
    case ctl_cmd_t::status:
    case ctl_cmd_t::metrics:
        if (!opts.json) {
            print_errors(json_object_get(reply, "errors"), err_out);
            if (!has_errors(reply)) {
                json_t *result = json_object_get(reply, "result");
                std::string text = opts.cmd == ctl_cmd_t::status ? ctl_format_status(result)
                                                                 : ctl_format_metrics(result);
                fputs(text.c_str(), out);
            }
        }
        return has_errors(reply) ? CTL_EXIT_FAILED : CTL_EXIT_OK;
    default:
        return CTL_EXIT_USAGE;
    }
}

int ctl_report_failure(bool json, int rc, const std::string &text, FILE *out, FILE *err_out) {
    if (!json) {
        fprintf(err_out, "tuvoctl: %s\n", text.c_str());
        return rc;
    }
    json_ptr obj(json_pack("{s:s%, s:i}", "error", text.data(), text.size(), "exitStatus", rc));
    char *dumped = obj ? json_dumps(obj.get(), JSON_INDENT(2)) : nullptr;
    if (dumped != nullptr)
        fprintf(out, "%s\n", dumped);
    else
        fprintf(err_out, "tuvoctl: %s\n", text.c_str());
    free(dumped);
    return rc;
}

int ctl_call(const std::string &endpoint, int timeout_ms, json_t *req, json_ptr *reply,
             std::string *err, const ctl_tls_t *tls) {
    char *raw_text = json_dumps(req, JSON_COMPACT);
    if (raw_text == nullptr) {
        *err = "cannot serialise the request";
        return CTL_EXIT_PROTOCOL;
    }
    std::string text(raw_text);
    free(raw_text);
    std::string body;
    int rc = ctl_exchange(endpoint, timeout_ms, text, &body, err, tls);
    if (rc != 0)
        return rc;
    *reply = ctl_parse_reply(body.data(), body.size(), err);
    return *reply ? 0 : CTL_EXIT_PROTOCOL;
}

int ctl_tls_for(const ctl_options_t &opts, const ctl_tls_t **tls, std::string *err) {
    bool any = !opts.tls.cert.empty() || !opts.tls.key.empty() || !opts.tls.ca.empty();
    *tls = nullptr;
    if (!ctl_is_tls_endpoint(opts.endpoint)) {
        if (any) {
            *err = "--cert, --key and --ca need a tls+tcp:// endpoint (-e)";
            return -1;
        }
        return 0;
    }
    if (opts.tls.cert.empty() || opts.tls.key.empty() || opts.tls.ca.empty()) {
        *err = tls_files_needed;
        return -1;
    }
    *tls = &opts.tls;
    return 0;
}
