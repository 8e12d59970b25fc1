// The operator's operations: status (the daemon's figures) and cancel (end
// a running command now).
#include <cstdlib>
#include <cstring>

#include "db.hpp"
#include "error.hpp"
#include "info.hpp"
#include "ops.hpp"
#include "runs.hpp"
#include "scripts.hpp"
#include "status.hpp"
#include "utils.hpp"

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
    int rc = tuvod_db_get_cmd(tuvod, cmd, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, errors);
    cstr_ptr owned(state);
    // Another identity's record is answered as an unknown one.
    if (rc != 0 || !tuvod_record_visible(tuvod, cmd)) {
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
    if (!recorded_running(tuvod, cmd, errors))
        return;
    tuvod_run_ref run = find_run(cmd);
    if (!run) {
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
