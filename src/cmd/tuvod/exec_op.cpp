// The execute operation: the request's checks, acceptance, and the
// synchronous run.
//
// execute checks the request, finds the script (taking a reference that
// the request holds until it is done with the record: to the end of a
// synchronous run, or, for an asynchronous one, until its run ends),
// validates it, records the start and runs the script on this thread or
// hands it to the asynchronous runs. A synchronous run waits for its turn
// at the script's gate on this thread.
#include "exec_op.hpp"

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "argv.hpp"
#include "async.hpp"
#include "caller.hpp"
#include "command.hpp"
#include "counters.hpp"
#include "db.hpp"
#include "error.hpp"
#include "gate.hpp"
#include "info.hpp"
#include "scripts.hpp"
#include "validate.hpp"
#include "wire.hpp"

namespace {

// Holds the gate for a synchronous run; on leaving, serves the gate's next
// waiting asynchronous run on a thread of its own.
class sync_gate_turn {
  public:
    explicit sync_gate_turn(tuvod_script_t *script) : gate_(tuvod_script_gate(script)) {
        gate_enter_sync(gate_.get(), script);
    }
    ~sync_gate_turn() { async_gate_handoff(gate_.get()); }
    sync_gate_turn(const sync_gate_turn &) = delete;
    sync_gate_turn &operator=(const sync_gate_turn &) = delete;

  private:
    std::shared_ptr<tuvod_run_gate_t> gate_;
};

void run_sync(tuvod_cmd_t *cmd, json_t *resp_js, tuvod_error_t **errors) {
    tuvod_script_t *script = cmd->script.get();
    error_stack cmd_errors;
    json_ptr result(json_pack("{s:s, s:O, s:{}}", "name", script->script_name.c_str(), "args",
                              cmd->redacted.get(), "output"));
    if (!result) {
        JSON_TRACE(DEBUG_WORKER, cmd->redacted.get(), "redacted args for %s:", script->script_name.c_str());
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to create comnmand response object");
        return;
    }
    json_t *output_js = json_object_get(result.get(), "output");
    tuvod_exec_state_t state;
    {
        sync_gate_turn turn(script);
        state = run_command(cmd, output_js, cmd_errors.ptr());
    }
    // The outcome is not written to the row: the row is deleted before the
    // reply anyway, and the execution-log record is what keeps the outcome.
    // Killed before that record, the row stays RUNNING and the next start
    // marks it LOST; killed after it, the record holds the outcome.
    log_outcome(cmd, state, output_js, cmd_errors.head(), nullptr);
    // A record that could not be retired (a full disk) stays RUNNING until
    // the next start marks it LOST; the requester is told.
    if (retire_record(cmd->tuvod, cmd->uuid.c_str()) != 0)
        set_err(INFO_ERROR, cmd_errors.ptr(), TUVOD_ENOMEM, nullptr,
                "Failed to mark command as complete in the DB");
    if (json_object_set_new(result.get(), "errors", error_stack_json(cmd_errors.head())) != 0 ||
        json_object_set_new(result.get(), "state", json_string(tuvod_exec_res_str(state))) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to return error stack");
        return;
    }
    if (json_object_set_new(resp_js, "result", result.release()) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set return object");
        return;
    }
}

// Traces a request part with the authority and every argument but the
// command masked: the script, and so which arguments are secret, is not
// known yet.
void trace_properties(json_t *part) {
    json_ptr traced(request_for_trace(part, -1));
    JSON_TRACE(DEBUG_WORKER, traced.get(), "Properties:");
}

// Traces the request part a rejection is about and pushes the rejection.
void reject_request(json_t *traced, tuvod_error_t **errors, const char *message) {
    trace_properties(traced);
    set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "%s", message);
}

// The checks of the request's shape; false after pushing the rejection.
bool exec_request_well_formed(json_t *req_js, json_t *args_js, tuvod_error_t **errors) {
    if (!json_is_boolean(json_object_get(args_js, "asynchronous"))) {
        reject_request(args_js, errors, "Malformed request: 'asynchronous' should be boolean");
        return false;
    }
    if (!json_is_string(json_object_get(req_js, "authority"))) {
        reject_request(req_js, errors, "Malformed request: 'authority' should be a string");
        return false;
    }
    json_t *argv_js = json_object_get(args_js, "argv");
    if (!json_is_array(argv_js)) {
        reject_request(args_js, errors, "Malformed request: 'argv' should be an array");
        return false;
    }
    size_t i;
    json_t *arg;
    json_array_foreach(argv_js, i, arg) {
        if (!json_is_string(arg)) {
            trace_properties(args_js);
            set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr,
                    "Malformed request: 'args[%d]' should be a string", static_cast<int>(i));
            return false;
        }
    }
    if (json_array_size(argv_js) == 0) {
        reject_request(args_js, errors, "Malformed request, no command in argv");
        return false;
    }
    return true;
}

// The audit line of an accepted execute: script, request and caller. The
// request identifier is client text, so it is escaped.
// A request identifier for the log: client text, so a JSON string.
std::string quoted_id(const char *uuid) {
    json_ptr id(json_string(uuid));
    cstr_ptr text(id ? json_dumps(id.get(), JSON_ENCODE_ANY | JSON_ENSURE_ASCII) : nullptr);
    return text ? text.get() : "?";
}

const char *caller_text(const std::string &caller) { return caller.empty() ? "(unknown caller)" : caller.c_str(); }

void log_execute(const tuvod_cmd_t &cmd, bool async) {
    PRINT_INFO(INFO_INFO, "Executing '%s'%s for %s (request %s)\n", cmd.script->script_name.c_str(),
               async ? " asynchronously" : "", caller_text(cmd.caller), quoted_id(cmd.uuid.c_str()).c_str());
}

// Who was refused, for which request and why, beside the error line the
// refusal logged itself (whose text is the client's answer).
void log_refusal(const char *uuid, tuvod_error_t *const *errors) {
    tuvod_count_refusal();
    const tuvod_error_t *newest = errors != nullptr ? *errors : nullptr;
    PRINT_INFO(INFO_WARN, "Refused execute for %s (request %s): %s\n", caller_text(tuvod_current_caller()),
               quoted_id(uuid).c_str(), newest != nullptr ? newest->error_string : "no reason recorded");
}

bool request_already_recorded(tuvod_state_t *tuvod, const char *uuid) {
    char *state = nullptr;
    int rc = tuvod_db_get_cmd(tuvod, uuid, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    free(state);
    return rc == 0;
}

} // namespace

void handle_exec_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors) {
    json_t *args_js = json_object_get(req_js, "args");
    auto refuse = [&] { log_refusal(uuid, errors); };
    if (!exec_request_well_formed(req_js, args_js, errors))
        return refuse();
    bool async = json_is_true(json_object_get(args_js, "asynchronous"));
    json_t *argv_js = json_object_get(args_js, "argv");
    tuvod_cmd_t cmd;
    cmd.tuvod = tuvod;
    cmd.argv.reset(argv_from_json_array(argv_js));
    if (!cmd.argv) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to allocate argument vector");
        return;
    }
    cmd.script = tuvod_script(tuvod, cmd.argv.get()[0]);
    if (!cmd.script) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Invalid command '%s'", cmd.argv.get()[0]);
        set_resp_state(resp_js, TUVOD_EXEC_CMD_INVALID);
        return refuse();
    }
    tuvod_script_t *script = cmd.script.get();
    char desc[4096];
    const char *cmd_desc = cmd_desc_for_exec_req(args_js, script->script_redact_argv, desc, sizeof desc);
    if (validate_authority(script, json_string_value(json_object_get(req_js, "authority")), errors) != 0)
        return refuse();
    if (validate_caller(script, tuvod_current_caller(), errors) != 0)
        return refuse();
    if (validate_script(script, errors) != 0) {
        set_resp_state(resp_js, TUVOD_EXEC_SCRIPT_INVALID);
        return refuse();
    }
    if (request_already_recorded(tuvod, uuid)) {
        PRINT_DEBUG(DEBUG_WORKER, "Request %s already in progress...", uuid);
        return;
    }
    // Refused before anything is recorded, so the client may simply retry.
    if (async && !reserve_async_slot(tuvod)) {
        set_err(INFO_ERROR, errors, TUVOD_EAGAIN, nullptr,
                "Too many commands are running (at most %u asynchronous); try again later",
                tuvod->max_async_runs);
        return refuse();
    }
    cmd.uuid = uuid;
    cmd.redacted.reset(redacted_argv_json(cmd.argv.get(), script->script_redact_argv));
    char *start = nullptr;
    cmd.caller = tuvod_current_caller();
    if (tuvod_db_start_cmd(tuvod, uuid, script->script_name.c_str(), cmd.redacted.get(),
                           cmd.caller.empty() ? nullptr : cmd.caller.c_str(), errors, &start) != 0) {
        if (async)
            release_async_slot();
        return;
    }
    cmd.start.reset(start);
    try {
        cmd.registration = std::make_unique<run_registration>(uuid, cmd.script, cmd.caller);
    } catch (const std::bad_alloc &) {
        PRINT_INFO(INFO_WARN, "Request %s cannot be cancelled: out of memory\n", uuid);
    }
    PRINT_DEBUG(DEBUG_WORKER, "Executing '%s'%s (request %s)\n", cmd_desc,
                async ? "asynchronously " : "", uuid);
    log_execute(cmd, async);
    if (async)
        start_async(std::move(cmd), resp_js, errors, cmd_desc);
    else
        run_sync(&cmd, resp_js, errors);
}

