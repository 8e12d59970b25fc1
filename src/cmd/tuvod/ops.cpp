// The operation table and the operations on records: list, get and clear
// with their visibility rules, cancel and status. execute has a module of
// its own.
#include "ops.hpp"

#include <cstdlib>
#include <cstring>

#include "caller.hpp"
#include "command.hpp"
#include "db.hpp"
#include "error.hpp"
#include "exec_op.hpp"
#include "info.hpp"
#include "runs.hpp"
#include "status.hpp"
#include "validate.hpp"
#include "wire.hpp"

namespace {

struct tuvod_op_desc_t {
    const char *op_name;
    tuvod_op_handler_fn_t op_handler;
};

// Searched in order by exact, case-sensitive name; ends with an empty row.
const tuvod_op_desc_t tuvod_ops[] = {
    {"execute", handle_exec_req},
    {"list", handle_list_req},
    {"get", handle_get_req},
    {"clear", handle_clear_req},
    {"cancel", handle_cancel_req},
    {"status", handle_status_req},
    {nullptr, nullptr},
};

} // namespace

tuvod_op_handler_fn_t tuvod_op_fn(const char *op) {
    if (op == nullptr)
        return nullptr;
    for (const tuvod_op_desc_t *desc = tuvod_ops; desc->op_name != nullptr; desc++) {
        if (std::strcmp(desc->op_name, op) == 0)
            return desc->op_handler;
    }
    return nullptr;
}

namespace {

bool tuvod_exec_res_is(const char *str, tuvod_exec_state_t expected) {
    return str != nullptr && std::strcmp(str, tuvod_exec_res_str(expected)) == 0;
}

} // namespace

void handle_list_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors) {
    (void)uuid;
    json_t *args_js = json_object_get(req_js, "args");
    const char *state = json_string_value(json_object_get(args_js, "state"));
    const char *cmd = json_string_value(json_object_get(args_js, "cmd"));
    json_t *cmds = nullptr;
    const std::string &caller = tuvod_current_caller();
    if (tuvod_db_list_cmds(tuvod, cmd != nullptr ? cmd : "%", state != nullptr ? state : "%", &cmds,
                           caller.empty() ? nullptr : caller.c_str()) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOENT, nullptr, "Failed to list commands'");
        return;
    }
    JSON_TRACE(DEBUG_WORKER, cmds, "result:");
    if (json_object_set_new(resp_js, "result", cmds) != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to set result for list");
}

bool tuvod_record_visible(tuvod_state_t *tuvod, const char *uuid) {
    const std::string &me = tuvod_current_caller();
    std::string owner;
    if (tuvod_db_cmd_caller(tuvod, uuid, &owner) != 0)
        return true; // no record: the operation reports that itself
    return tuvod_caller_may_see(me, owner);
}

namespace {

// What a get reads from the record; everything is released at the end.
struct cmd_record {
    cstr_ptr state, name, start, finish;
    json_ptr args, output, errors;
};

json_ptr string_or_null(const cstr_ptr &text) {
    return json_ptr(text ? json_string(text.get()) : json_null());
}

// The value of one property (a new reference), or none for an unknown name.
json_ptr property_value(const cmd_record &rec, const char *property) {
    auto shared_or_null = [](const json_ptr &v) { return v ? json_share(v.get()) : json_ptr(json_null()); };
    if (std::strcmp(property, "name") == 0)
        return string_or_null(rec.name);
    if (std::strcmp(property, "state") == 0)
        return string_or_null(rec.state);
    if (std::strcmp(property, "args") == 0)
        return shared_or_null(rec.args);
    if (std::strcmp(property, "start") == 0)
        return string_or_null(rec.start);
    if (std::strcmp(property, "output") == 0)
        return shared_or_null(rec.output);
    if (std::strcmp(property, "errors") == 0)
        return shared_or_null(rec.errors);
    if (std::strcmp(property, "finish") == 0)
        return string_or_null(rec.finish);
    return nullptr;
}

bool fetch_record(tuvod_state_t *tuvod, const char *uuid, cmd_record *rec, tuvod_error_t **errors) {
    char *state = nullptr, *name = nullptr, *start = nullptr, *finish = nullptr;
    json_t *args = nullptr, *output = nullptr, *errs = nullptr;
    int rc = tuvod_db_get_visible_cmd(tuvod, uuid, &state, &name, &start, &finish, &args, &output, &errs,
                                      errors);
    rec->state.reset(state);
    rec->name.reset(name);
    rec->start.reset(start);
    rec->finish.reset(finish);
    rec->args.reset(args);
    rec->output.reset(output);
    rec->errors.reset(errs);
    return rc == 0;
}

} // namespace

void handle_get_req(tuvod_state_t *tuvod, const char *cmd_uuid, json_t *req_js, json_t *resp_js,
                    tuvod_error_t **errors) {
    json_t *args_js = json_object_get(req_js, "args");
    json_t *properties = json_object_get(args_js, "properties");
    if (!json_is_array(properties)) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "No property name supplied");
        return;
    }
    bool peek = json_is_true(json_object_get(args_js, "peek"));
    cmd_record rec;
    // Another identity's record is answered as an unknown one.
    if (!fetch_record(tuvod, cmd_uuid, &rec, errors)) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Unable to get %s", cmd_uuid);
        return;
    }
    json_t *result = json_object_get(resp_js, "result");
    size_t i;
    json_t *prop;
    json_array_foreach(properties, i, prop) {
        const char *name = json_string_value(prop);
        if (name == nullptr)
            continue;
        PRINT_DEBUG(DEBUG_WORKER, "Get property %s\n", name);
        json_ptr value = property_value(rec, name);
        if (!value) {
            set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Invalid properties '%s' supplied", name);
            return;
        }
        if (json_object_set_new(result, name, value.release()) != 0)
            set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to set %s value for '%s'", name,
                    cmd_uuid);
    }
    JSON_TRACE(DEBUG_WORKER, result, "result:");
    if (!tuvod_exec_res_is(rec.state.get(), TUVOD_EXEC_RUNNING) && !peek)
        retire_record(tuvod, cmd_uuid);
}

void handle_clear_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                      tuvod_error_t **errors) {
    (void)resp_js;
    json_t *args_js = json_object_get(req_js, "args");
    bool force = json_is_object(args_js) && json_is_true(json_object_get(args_js, "force"));
    if (!tuvod_record_visible(tuvod, uuid) || tuvod_db_delete_cmd(tuvod, uuid, force ? "" : tuvod_exec_res_str(TUVOD_EXEC_RUNNING)) != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to delete %s", uuid);
}


void handle_status_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors) {
    (void)uuid;
    (void)req_js;
    json_ptr status = tuvod_status_json(tuvod);
    if (!status || json_object_set_new(resp_js, "result", status.release()) != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to set result for status");
}

namespace {

// Whether the record of cmd says it is running; false after pushing why not.
bool recorded_running(tuvod_state_t *tuvod, const char *cmd, tuvod_error_t **errors) {
    char *state = nullptr;
    int rc = tuvod_db_get_visible_cmd(tuvod, cmd, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, errors);
    cstr_ptr owned(state);
    // Another identity's record is answered as an unknown one.
    if (rc != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOENT, nullptr, "No command %s to cancel", cmd);
        return false;
    }
    if (state == nullptr || strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_RUNNING)) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Command %s is not running (%s)", cmd,
                state != nullptr ? state : "UNKNOWN");
        return false;
    }
    return true;
}

} // namespace

void handle_cancel_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                       tuvod_error_t **errors) {
    (void)resp_js;
    json_t *args_js = json_object_get(req_js, "args");
    const char *cmd = json_string_value(json_object_get(args_js, "cmd"));
    if (cmd == nullptr) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Malformed request: 'cmd' should be a string");
        return;
    }
    // Named in log lines below: printable text of a sane length only.
    size_t len = strlen(cmd);
    bool printable = len > 0 && len <= 256;
    for (size_t i = 0; printable && i < len; i++)
        printable = static_cast<unsigned char>(cmd[i]) >= 0x20 && cmd[i] != 0x7f;
    if (!printable) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr,
                "Malformed request: 'cmd' is not a request identifier");
        return;
    }
    // The script's authority, in "args" as the request shape has it, or
    // else the envelope's.
    const char *authority = json_string_value(json_object_get(args_js, "authority"));
    if (authority == nullptr)
        authority = json_string_value(json_object_get(req_js, "authority"));
    // A run still going can be cancelled whether or not its record was
    // cleared meanwhile; whom it belongs to, its registration says.
    tuvod_run_ref run = find_run(cmd);
    if (run && !tuvod_caller_may_see(tuvod_current_caller(), run->caller)) {
        set_err(INFO_ERROR, errors, TUVOD_ENOENT, nullptr, "No command %s to cancel", cmd);
        return;
    }
    if (!run) {
        if (recorded_running(tuvod, cmd, errors))
            set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Command %s cannot be cancelled", cmd);
        return;
    }
    if (validate_authority(run->script.get(), authority, errors) != 0)
        return;
    if (!cancel_run(run.get(), uuid)) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Command %s is already being cancelled", cmd);
        return;
    }
    PRINT_INFO(INFO_WARN, "Command %s (%s) cancelled by request %s\n", cmd,
               run->script->script_name.c_str(), uuid);
}
