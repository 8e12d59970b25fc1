// One accepted command: run it within its bounds, store its outcome, write
// its execution-log record and retire its row. Outcomes are logged from the
// values in hand, so that no later change to the row (a client retiring
// it) can cost the record; each output stream is bounded ("maxOutputBytes")
// before it is stored.
#include "command.hpp"

#include <poll.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "confine.hpp"
#include "counters.hpp"
#include "db.hpp"
#include "error.hpp"
#include "execlog.hpp"
#include "execute.hpp"
#include "info.hpp"
#include "output.hpp"
#include "utils.hpp"
#include "wire.hpp"

namespace {

// Outputs above this are let go while their row is written (see store_outcome).
constexpr size_t DETACH_OUTPUT_MIN = size_t{1} << 20;
// How long a retried completion waits between attempts.
constexpr int COMPLETE_RETRY_MS = 1000;

// Counts a run on its record while its command runs.
class script_instance {
  public:
    explicit script_instance(tuvod_script_t *script) : script_(script) {
        mutex_guard lock(&script_->script_mutex);
        script_->script_instances++;
    }
    ~script_instance() {
        mutex_guard lock(&script_->script_mutex);
        script_->script_instances--;
        pthread_cond_broadcast(&script_->script_cv);
    }
    script_instance(const script_instance &) = delete;
    script_instance &operator=(const script_instance &) = delete;

  private:
    tuvod_script_t *script_;
};

// Cuts a stream so that its JSON string fits the stored limit, and says so
// on the command's stack.
void bound_stream(size_t limit, const char *name, exec_stream_t *s, tuvod_error_t **errors) {
    size_t keep = output_fit_prefix(s->data, s->len, limit);
    size_t cut = s->len - keep + s->dropped;
    if (cut == 0)
        return;
    if (s->data != nullptr) {
        s->data[keep] = '\0';
        // Give back what is cut before the output is copied.
        if (char *smaller = static_cast<char *>(realloc(s->data, keep + 1)))
            s->data = smaller;
    }
    s->len = keep;
    set_err(INFO_WARN, errors, TUVOD_ENOMEM, nullptr,
            "Output from %s pipe shortened by %zu bytes to fit the limit of %zu bytes", name, cut,
            limit);
}

// Moves a stream into the output object; the stream's buffer is freed.
int set_stream(json_t *output_js, const char *key, exec_stream_t *s) {
    json_t *value = json_string_lossy(s->data, s->len);
    free(s->data);
    s->data = nullptr;
    return json_object_set_new(output_js, key, value);
}

// Puts the two streams back from the stored text of the output object
// ({"exitStatus":...,"stdout":"...","stderr":"..."}), which it releases
// first; 0 or -1.
int restore_streams(json_t *output_js, cstr_ptr text, size_t len) {
    static constexpr char out_key[] = ",\"stdout\":";
    static constexpr char err_key[] = ",\"stderr\":";
    std::string_view all(text.get(), len);
    size_t at = all.find(out_key);
    if (at == std::string_view::npos || at > 64)
        return -1;
    at += sizeof out_key - 1;
    size_t out_len = 0, err_len = 0, used = 0;
    cstr_ptr out(output_json_unescape(text.get() + at, len - at, &out_len, &used));
    if (!out)
        return -1;
    at += used;
    if (all.compare(at, sizeof err_key - 1, err_key) != 0)
        return -1;
    at += sizeof err_key - 1;
    cstr_ptr err(output_json_unescape(text.get() + at, len - at, &err_len, &used));
    if (!err)
        return -1;
    text.reset();
    if (json_object_set_new(output_js, "stdout", json_stringn_nocheck(out.get(), out_len)) != 0)
        return -1;
    out.reset();
    return json_object_set_new(output_js, "stderr", json_stringn_nocheck(err.get(), err_len));
}

// Stores the completion, trying up to attempts times (fewer once stopping
// is set) with the same text; only the last failure stays on
// the command's stack.
int complete_with_retries(tuvod_cmd_t *cmd, tuvod_exec_state_t state, const char *text,
                          size_t len, tuvod_error_t **errors, cstr_ptr *finish, int attempts,
                          const std::atomic<bool> *stopping) {
    for (int attempt = 1;; attempt++) {
        tuvod_error_t *before = *errors;
        char *finish_raw = nullptr;
        if (tuvod_db_complete_cmd_text(cmd->tuvod, cmd->uuid.c_str(), state, text, len, errors,
                                       &finish_raw) == 0) {
            finish->reset(finish_raw);
            return 0;
        }
        if (attempt >= attempts || (stopping != nullptr && *stopping))
            return -1;
        // Drop this attempt's entry so the stored stack does not grow with retries.
        if (*errors != before) {
            tuvod_error_t *failures = *errors;
            *errors = failures->next;
            failures->next = nullptr;
            clear_error_stack(&failures);
        }
        poll(nullptr, 0, COMPLETE_RETRY_MS);
    }
}

} // namespace

int retire_record(tuvod_state_t *tuvod, const char *uuid) { return tuvod_db_delete_cmd(tuvod, uuid, ""); }

int set_resp_state(json_t *resp_js, tuvod_exec_state_t state) {
    json_t *result = json_object_get(resp_js, "result");
    if (!json_is_object(result))
        return -1;
    return json_object_set_new(result, "state", json_string(tuvod_exec_res_str(state)));
}

tuvod_exec_state_t run_command(tuvod_cmd_t *cmd, json_t *output_js, tuvod_error_t **errors) {
    tuvod_script_t *script = cmd->script.get();
    exec_stream_t out, err;
    int exit_status = 0;
    run_identity_t ran_as;
    tuvod_exec_state_t state;
    {
        tuvod_run_t *run = cmd->registration ? cmd->registration->run() : nullptr;
        current_run_scope current(run);
        if (current_run_cancelled()) {
            // Cancelled while it waited for its turn: it never starts.
            set_cancel_err(run, cmd->uuid.c_str(), errors);
            state = TUVOD_EXEC_DIED;
        } else {
            script_instance counted(script);
            run_stopwatch timing;
            state = execute_command_capped(script, const_cast<const char **>(cmd->argv.get()),
                                           cmd->tuvod->max_output_bytes, &out, &err, &exit_status,
                                           errors, &ran_as);
            tuvod_count_run(script->script_name.c_str(), state, timing.seconds());
        }
        PRINT_DEBUG(DEBUG_WORKER, "%s script returns %d\n", script->script_name.c_str(),
                    static_cast<int>(state));
    }
    bound_stream(cmd->tuvod->max_output_bytes, "stdout", &out, errors);
    bound_stream(cmd->tuvod->max_output_bytes, "stderr", &err, errors);
    if (json_object_set_new(output_js, "exitStatus",
                            state == TUVOD_EXEC_COMPLETE ? json_integer(exit_status) : json_null()) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set exitStatus in response");
    } else if (set_stream(output_js, "stdout", &out) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set stdout in response");
    } else if (set_stream(output_js, "stderr", &err) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set stderr in response");
    } else if (ran_as.resolved &&
               json_object_set_new(output_js, "runAs", run_identity_json(ran_as).release()) != 0) {
        // After the streams: the stored text must start with them.
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set runAs in response");
    }
    free(out.data);
    free(err.data);
    return state;
}

int store_outcome(tuvod_cmd_t *cmd, tuvod_exec_state_t state, json_t *output_js,
                  tuvod_error_t **errors, cstr_ptr *finish, int attempts,
                  const std::atomic<bool> *stopping) {
    size_t len = 0;
    cstr_ptr text(tuvod_dump_compact_exact(output_js, &len));
    if (!text) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to serialise output for %s\n",
                cmd->uuid.c_str());
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                "Failed to mark command as complete in the DB");
        return -1;
    }
    bool detached = len >= DETACH_OUTPUT_MIN && json_object_del(output_js, "stdout") == 0 &&
                    json_object_del(output_js, "stderr") == 0;
    int rc = complete_with_retries(cmd, state, text.get(), len, errors, finish, attempts, stopping);
    if (rc != 0)
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                "Failed to mark command as complete in the DB");
    if (detached && restore_streams(output_js, std::move(text), len) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to restore the output of %s\n", cmd->uuid.c_str());
        json_object_set_new(output_js, "stdout", json_string(""));
        json_object_set_new(output_js, "stderr", json_string(""));
    }
    return rc;
}

void log_outcome(tuvod_cmd_t *cmd, tuvod_exec_state_t state, json_t *output_js,
                 tuvod_error_t *errors, const char *finish) {
    json_ptr errors_js(error_stack_json(errors));
    cstr_ptr now;
    if (finish == nullptr) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        now.reset(time_str(&tv));
        finish = now.get();
    }
    tuvod_cmd_log_t rec;
    rec.uuid = cmd->uuid.c_str();
    rec.name = cmd->script->script_name.c_str();
    rec.args = cmd->redacted.get();
    rec.state = tuvod_exec_res_str(state);
    rec.start = cmd->start.get();
    rec.output = output_js;
    rec.errors = errors_js.get();
    rec.finish = finish;
    rec.caller = cmd->caller.empty() ? nullptr : cmd->caller.c_str();
    log_cmd(cmd->tuvod, &rec);
}

