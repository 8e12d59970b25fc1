// The operation table and the operations.
//
// execute checks the request, finds the script (taking a reference that
// the request holds until it is done with the record: to the end of a
// synchronous run, or, for an asynchronous one, until its thread ends),
// validates it, records the start and runs the script on this thread or on
// a detached thread of its own. A script that does not allow concurrent
// runs is gated by its script_mutex/script_cv and run counter. list, get
// and clear work on the command database only.
#include "ops.hpp"

#include <poll.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "db.hpp"
#include "error.hpp"
#include "execute.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "scripts.hpp"
#include "utils.hpp"

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

// ---- Execute ----------------------------------------------------------

namespace {

// Block handed to an asynchronous execution thread, which owns it.
struct tuvod_exec_args_t {
    tuvod_state_t *tuvod = nullptr;
    std::string request_uuid;
    tuvod_script_ref script; // keeps the record alive until the thread ends
    argv_ptr argv;
};

// Ends the life of a finished command's record: archived when the daemon
// keeps completed commands, else deleted whatever its state.
void retire_record(tuvod_state_t *tuvod, const char *uuid) {
    if (tuvod->archive_completed_cmds)
        tuvod_db_archive_cmd(tuvod, uuid, nullptr);
    else
        tuvod_db_delete_cmd(tuvod, uuid, "");
}

bool tuvod_exec_res_is(const char *str, tuvod_exec_state_t expected) {
    return str != nullptr && std::strcmp(str, tuvod_exec_res_str(expected)) == 0;
}

int set_resp_state(json_t *resp_js, tuvod_exec_state_t state) {
    json_t *result = json_object_get(resp_js, "result");
    if (!json_is_object(result))
        return -1;
    return json_object_set_new(result, "state", json_string(tuvod_exec_res_str(state)));
}

// Holds a script's run gate: waits for its turn when the script does not
// allow concurrent runs, and counts the run while it lasts.
class script_run_gate {
  public:
    explicit script_run_gate(tuvod_script_t *script) : script_(script) {
        mutex_guard lock(&script_->script_mutex);
        while (!script_->script_concurrent && script_->script_instances != 0) {
            PRINT_DEBUG(DEBUG_WORKER, "Waiting for current %s script to finish...\n",
                        script_->script_name.c_str());
            pthread_cond_wait(&script_->script_cv, &script_->script_mutex);
        }
        script_->script_instances++;
    }
    ~script_run_gate() {
        mutex_guard lock(&script_->script_mutex);
        script_->script_instances--;
        pthread_cond_broadcast(&script_->script_cv);
    }
    script_run_gate(const script_run_gate &) = delete;
    script_run_gate &operator=(const script_run_gate &) = delete;

  private:
    tuvod_script_t *script_;
};

// How long an asynchronous run keeps trying to record its outcome (for
// example while the disk is full): nobody waits for its answer, and an
// unrecorded outcome would leave the record "RUNNING" until the next start.
constexpr int ASYNC_COMPLETE_ATTEMPTS = 30;
constexpr int ASYNC_COMPLETE_RETRY_MS = 1000;

// Records the outcome, trying up to attempts times; only the last failure
// stays on the command's stack.
int complete_cmd(tuvod_state_t *tuvod, const char *request_uuid, tuvod_exec_state_t state,
                 json_t *output_js, tuvod_error_t **errors, int attempts) {
    for (int attempt = 1;; attempt++) {
        tuvod_error_t *before = *errors;
        if (tuvod_db_complete_cmd(tuvod, request_uuid, state, output_js, errors) == 0)
            return 0;
        if (attempt >= attempts)
            return -1;
        // Drop this attempt's entry so the stored stack does not grow with retries.
        if (*errors != before) {
            tuvod_error_t *failures = *errors;
            *errors = failures->next;
            failures->next = nullptr;
            clear_error_stack(&failures);
        }
        poll(nullptr, 0, ASYNC_COMPLETE_RETRY_MS);
    }
}

tuvod_exec_state_t execute_and_process_cmd(tuvod_state_t *tuvod, const char *request_uuid,
                                           tuvod_script_t *script, char **argv, json_t *output_js,
                                           tuvod_error_t **errors, int complete_attempts = 1) {
    char *out = nullptr, *err = nullptr;
    size_t out_len = 0, err_len = 0;
    int exit_status = 0;
    tuvod_exec_state_t state;
    {
        script_run_gate gate(script);
        state = execute_command(script, const_cast<const char **>(argv), &out, &out_len, &err,
                                &err_len, &exit_status, errors);
        PRINT_DEBUG(DEBUG_WORKER, "%s script returns %d\n", script->script_name.c_str(),
                    static_cast<int>(state));
    }
    cstr_ptr out_owner(out), err_owner(err);

    if (json_object_set_new(output_js, "exitStatus",
                            state == TUVOD_EXEC_COMPLETE ? json_integer(exit_status) : json_null()) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set exitStatus in response");
        return state;
    }
    if (json_object_set_new(output_js, "stdout", json_string_lossy(out, out_len)) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set stdout in response");
        PRINT_DEBUG(DEBUG_WORKER, "stdout for request is '%s'\n", out != nullptr ? out : "");
        return state;
    }
    // Outputs can be large: the JSON strings are the copies that are kept.
    out_owner.reset();
    if (json_object_set_new(output_js, "stderr", json_string_lossy(err, err_len)) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set stderr in response");
        PRINT_DEBUG(DEBUG_WORKER, "stderr for request is '%s'\n", err != nullptr ? err : "");
        return state;
    }
    err_owner.reset();
    if (complete_cmd(tuvod, request_uuid, state, output_js, errors, complete_attempts) != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                "Failed to mark command as complete in the DB");
    return state;
}

void *exec_thread(void *arg) {
    std::unique_ptr<tuvod_exec_args_t> args(static_cast<tuvod_exec_args_t *>(arg));
    try {
        json_ptr output(json_object());
        if (!output) {
            PRINT_INFO(INFO_ERROR, "Failed to create output for async req\n");
            return nullptr;
        }
        error_stack errors;
        execute_and_process_cmd(args->tuvod, args->request_uuid.c_str(), args->script.get(),
                                args->argv.get(), output.get(), errors.ptr(),
                                ASYNC_COMPLETE_ATTEMPTS);
        log_cmd(args->tuvod, args->request_uuid.c_str());
    } catch (...) {
        PRINT_INFO(INFO_ERROR, "Unexpected failure in exec thread for %s\n",
                   args->request_uuid.c_str());
    }
    return nullptr;
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

bool request_already_recorded(tuvod_state_t *tuvod, const char *uuid) {
    char *state = nullptr;
    int rc = tuvod_db_get_cmd(tuvod, uuid, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    free(state);
    return rc == 0;
}

void start_async(tuvod_state_t *tuvod, const char *uuid, tuvod_script_ref script, argv_ptr argv,
                 json_t *resp_js, const char *desc) {
    auto args = std::make_unique<tuvod_exec_args_t>();
    args->tuvod = tuvod;
    args->request_uuid = uuid;
    args->script = std::move(script);
    args->argv = std::move(argv);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Nobody waits for these threads.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, exec_thread, args.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create exec thread\n");
        return;
    }
    args.release();
    set_resp_state(resp_js, TUVOD_EXEC_RUNNING);
    PRINT_DEBUG(DEBUG_WORKER, "Started new thread to execute %s (request %s)\n", desc, uuid);
}

void run_sync(tuvod_state_t *tuvod, const char *uuid, tuvod_script_t *script, char **argv,
              json_t *redacted, json_t *resp_js, tuvod_error_t **errors) {
    error_stack cmd_errors;
    json_ptr result(json_pack("{s:s, s:O, s:{}}", "name", script->script_name.c_str(), "args",
                              redacted, "output"));
    if (!result) {
        JSON_TRACE(DEBUG_WORKER, redacted, "redacted args for %s:", script->script_name.c_str());
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to create comnmand response object");
        return;
    }
    tuvod_exec_state_t state = execute_and_process_cmd(
        tuvod, uuid, script, argv, json_object_get(result.get(), "output"), cmd_errors.ptr());
    log_cmd(tuvod, uuid);
    if (json_object_set_new(result.get(), "errors", error_stack_json(cmd_errors.head())) != 0 ||
        json_object_set_new(result.get(), "state", json_string(tuvod_exec_res_str(state))) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to return error stack");
        return;
    }
    if (json_object_set_new(resp_js, "result", result.release()) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set return object");
        return;
    }
    retire_record(tuvod, uuid);
}

} // namespace

void handle_exec_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors) {
    json_t *args_js = json_object_get(req_js, "args");
    if (!exec_request_well_formed(req_js, args_js, errors))
        return;
    bool async = json_is_true(json_object_get(args_js, "asynchronous"));
    json_t *argv_js = json_object_get(args_js, "argv");
    argv_ptr argv(argv_from_json_array(argv_js));
    if (!argv) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to allocate argument vector");
        return;
    }
    tuvod_script_ref script = tuvod_script(tuvod, argv.get()[0]);
    if (!script) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Invalid command '%s'", argv.get()[0]);
        set_resp_state(resp_js, TUVOD_EXEC_CMD_INVALID);
        return;
    }
    char desc[4096];
    const char *cmd_desc = cmd_desc_for_exec_req(args_js, script->script_redact_argv, desc, sizeof desc);
    if (validate_authority(script.get(), json_string_value(json_object_get(req_js, "authority")),
                           errors) != 0)
        return;
    if (validate_script(script.get(), errors) != 0) {
        set_resp_state(resp_js, TUVOD_EXEC_SCRIPT_INVALID);
        return;
    }
    if (request_already_recorded(tuvod, uuid)) {
        PRINT_DEBUG(DEBUG_WORKER, "Request %s already in progress...", uuid);
        return;
    }
    json_ptr redacted(redacted_argv_json(argv.get(), script->script_redact_argv));
    if (tuvod_db_start_cmd(tuvod, uuid, script->script_name.c_str(), redacted.get(), errors) != 0)
        return;
    PRINT_DEBUG(DEBUG_WORKER, "Executing '%s'%s (request %s)\n", cmd_desc,
                async ? "asynchronously " : "", uuid);
    if (async)
        start_async(tuvod, uuid, std::move(script), std::move(argv), resp_js, cmd_desc);
    else
        run_sync(tuvod, uuid, script.get(), argv.get(), redacted.get(), resp_js, errors);
}

// ---- List, get, clear ------------------------------------------------

void handle_list_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors) {
    (void)uuid;
    json_t *args_js = json_object_get(req_js, "args");
    const char *state = json_string_value(json_object_get(args_js, "state"));
    const char *cmd = json_string_value(json_object_get(args_js, "cmd"));
    json_t *cmds = nullptr;
    if (tuvod_db_list_cmds(tuvod, cmd != nullptr ? cmd : "%", state != nullptr ? state : "%", &cmds) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOENT, nullptr, "Failed to list commands'");
        return;
    }
    JSON_TRACE(DEBUG_WORKER, cmds, "result:");
    if (json_object_set_new(resp_js, "result", cmds) != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to set result for list");
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
    int rc = tuvod_db_get_cmd(tuvod, uuid, &state, &name, &start, &finish, &args, &output, &errs, errors);
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
    if (tuvod_db_delete_cmd(tuvod, uuid, force ? "" : tuvod_exec_res_str(TUVOD_EXEC_RUNNING)) != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Unable to delete %s", uuid);
}
