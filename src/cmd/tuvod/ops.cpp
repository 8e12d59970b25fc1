// The operation table and the operations.
//
// execute checks the request, finds the script (taking a reference that
// the request holds until it is done with the record: to the end of a
// synchronous run, or, for an asynchronous one, until its run ends),
// validates it, records the start and runs the script on this thread or,
// asynchronously, on a detached thread. Runs of one script path meet at its
// run gate (shared across reloads), where a non-concurrent script's runs
// take turns in arrival order; an asynchronous run that must wait holds no
// thread: the thread that ends the run before it serves it. Asynchronous
// runs are bounded ("maxAsyncRuns"), refused with EAGAIN beyond that before
// anything is recorded. Outcomes are recorded, and logged from the values
// in hand, with each output stream bounded ("maxOutputBytes"). list, get
// and clear work on the command database only.
#include "ops.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contract.hpp"
#include "caller.hpp"
#include "db.hpp"
#include "error.hpp"
#include "execute.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "output.hpp"
#include "runs.hpp"
#include "scripts.hpp"
#include "status.hpp"
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

// ---- Execute ----------------------------------------------------------

// A run waiting at its script's gate: an asynchronous run (which holds no
// thread while it waits), or a synchronous request (run none) blocked on
// the gate's condition variable.
struct tuvod_gate_waiter_t {
    struct tuvod_exec_args_t *run = nullptr;
};

namespace {

// One accepted command and the values its records are made of.
struct tuvod_cmd_t {
    tuvod_state_t *tuvod = nullptr;
    std::string uuid;
    tuvod_script_ref script; // keeps the record alive until the command ends
    argv_ptr argv;
    json_ptr redacted;
    cstr_ptr start;
    std::string caller; // who asked, from the connection
    std::unique_ptr<run_registration> registration; // what a cancel finds
};

} // namespace

// An asynchronous run, from its acceptance to its completion record.
struct tuvod_exec_args_t {
    tuvod_cmd_t cmd;
    std::shared_ptr<tuvod_run_gate_t> gate;
    tuvod_gate_waiter_t waiter{this};
    std::list<tuvod_exec_args_t *>::iterator where; // in the registry; guarded by its mutex
    bool queued = false;    // in gate->waiting; guarded by gate->mutex
    ctid_t ctid = -1;       // its contract once forked; guarded by the registry mutex
    bool killed = false;    // ended by the shutdown; guarded by the registry mutex
    bool abandoned = false; // the shutdown stopped waiting for it; guarded by the registry mutex
};

namespace {

// Every asynchronous run that exists, waiting or running, and the threads
// that serve them. The run count is bounded ("maxAsyncRuns"); a run waiting
// at a non-concurrent script's gate holds no thread: the thread that ends
// the run before it goes on with it. Never destroyed, so that a run thread
// still going at exit meets no destroyed lock. Lock order: the registry's
// mutex, then a gate's mutex or the contract table's; never the reverse.
struct async_registry_t {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER; // broadcast when a thread ends or leaves the database
    std::list<tuvod_exec_args_t *> runs;
    unsigned slots = 0;    // runs accepted and not yet finished
    unsigned threads = 0;  // run threads alive
    unsigned db_users = 0; // run threads recording their outcome
    std::atomic<bool> stopping{false};
};

async_registry_t &registry() {
    static auto *r = new async_registry_t;
    return *r;
}

// How long the shutdown waits for killed runs to record themselves, and
// how often it signals again (a run may fork meanwhile).
constexpr int ASYNC_STOP_WAIT_MS = 10000;
constexpr int ASYNC_STOP_TICK_MS = 100;
// Outputs above this are let go while their row is written (see store_outcome).
constexpr size_t DETACH_OUTPUT_MIN = size_t{1} << 20;

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

// ---- The gate ----

// Caller holds gate->mutex. With the gate free, lets the first waiter go:
// a synchronous request is woken; an asynchronous run is taken off the
// queue and returned, holding the gate, for the caller to serve. None
// during shutdown, which records the waiting runs itself.
tuvod_exec_args_t *gate_next_locked(tuvod_run_gate_t *gate) {
    if (gate->running != 0 || gate->waiting.empty())
        return nullptr;
    tuvod_gate_waiter_t *first = gate->waiting.front();
    if (first->run == nullptr) {
        pthread_cond_broadcast(&gate->cv);
        return nullptr;
    }
    if (registry().stopping)
        return nullptr;
    gate->waiting.pop_front();
    first->run->queued = false;
    gate->running++;
    return first->run;
}

tuvod_exec_args_t *gate_leave(tuvod_run_gate_t *gate) {
    mutex_guard lock(&gate->mutex);
    gate->running--;
    return gate_next_locked(gate);
}

// Waits for a synchronous run's turn; runs take turns in arrival order.
void gate_enter_sync(tuvod_run_gate_t *gate, tuvod_script_t *script) {
    mutex_guard lock(&gate->mutex);
    if (!script->script_concurrent && (gate->running != 0 || !gate->waiting.empty())) {
        tuvod_gate_waiter_t me;
        gate->waiting.push_back(&me);
        PRINT_DEBUG(DEBUG_WORKER, "Waiting for current %s script to finish...\n",
                    script->script_name.c_str());
        while (gate->waiting.front() != &me || gate->running != 0)
            pthread_cond_wait(&gate->cv, &gate->mutex);
        gate->waiting.pop_front();
    }
    gate->running++;
}

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

// ---- Running and recording ----

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

// Runs the command through its gate (already held by an asynchronous run)
// and fills output_js: exit status, then each stream bounded to the
// stored limit.
tuvod_exec_state_t run_command(tuvod_cmd_t *cmd, json_t *output_js, tuvod_error_t **errors) {
    tuvod_script_t *script = cmd->script.get();
    exec_stream_t out, err;
    int exit_status = 0;
    tuvod_exec_state_t state;
    {
        tuvod_run_t *run = cmd->registration ? cmd->registration->run() : nullptr;
        current_run_scope current(run);
        if (current_run_cancelled()) {
            // Cancelled while it waited for its turn: it never starts.
            set_err(INFO_WARN, errors, TUVOD_ECANCELED, nullptr, "Command %s cancelled by request %s",
                    cmd->uuid.c_str(), run_cancelled_by(run).c_str());
            state = TUVOD_EXEC_DIED;
        } else {
            script_instance counted(script);
            run_stopwatch timing;
            state = execute_command_capped(script, const_cast<const char **>(cmd->argv.get()),
                                           cmd->tuvod->max_output_bytes, &out, &err, &exit_status,
                                           errors);
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
    }
    free(out.data);
    free(err.data);
    return state;
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

// How long an asynchronous run keeps trying to record its outcome (for
// example while the disk is full): nobody waits for its answer, and an
// unrecorded outcome would leave the record "RUNNING" until the next start.
constexpr int ASYNC_COMPLETE_ATTEMPTS = 30;
constexpr int ASYNC_COMPLETE_RETRY_MS = 1000;

// Stores the completion, trying up to attempts times (fewer once the
// daemon is stopping) with the same text; only the last failure stays on
// the command's stack.
int complete_with_retries(tuvod_cmd_t *cmd, tuvod_exec_state_t state, const char *text,
                          size_t len, tuvod_error_t **errors, cstr_ptr *finish, int attempts) {
    for (int attempt = 1;; attempt++) {
        tuvod_error_t *before = *errors;
        char *finish_raw = nullptr;
        if (tuvod_db_complete_cmd_text(cmd->tuvod, cmd->uuid.c_str(), state, text, len, errors,
                                       &finish_raw) == 0) {
            finish->reset(finish_raw);
            return 0;
        }
        if (attempt >= attempts || registry().stopping)
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

// Records the command's outcome. A large output is held twice at most:
// its JSON strings are let go while the row is written from the text (the
// row's copy is the second), then rebuilt from that text.
int store_outcome(tuvod_cmd_t *cmd, tuvod_exec_state_t state, json_t *output_js,
                  tuvod_error_t **errors, cstr_ptr *finish, int attempts = 1) {
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
    int rc = complete_with_retries(cmd, state, text.get(), len, errors, finish, attempts);
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

// Writes the execution-log record from the values in hand.
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

// ---- Asynchronous runs ----

bool reserve_async_slot(tuvod_state_t *tuvod) {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    if (r.stopping || r.slots >= tuvod->max_async_runs)
        return false;
    r.slots++;
    return true;
}

void release_async_slot() {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    r.slots--;
}

void register_run(tuvod_exec_args_t *run) {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    run->where = r.runs.insert(r.runs.end(), run);
}

// Removes a finished run and gives its slot back.
void finish_run(tuvod_exec_args_t *run) {
    std::unique_ptr<tuvod_exec_args_t> owned(run);
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    r.runs.erase(run->where);
    r.slots--;
}

// The database may be used for a run unless the shutdown gave up on it.
bool db_pass_enter(tuvod_exec_args_t *run) {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    if (run->abandoned)
        return false;
    r.db_users++;
    return true;
}

void db_pass_leave() {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    r.db_users--;
    pthread_cond_broadcast(&r.cv);
}

void on_run_fork(void *ctx, ctid_t ctid) {
    auto *run = static_cast<tuvod_exec_args_t *>(ctx);
    async_registry_t &r = registry();
    bool kill_now;
    {
        mutex_guard lock(&r.mutex);
        run->ctid = ctid;
        kill_now = run->killed = r.stopping;
    }
    if (kill_now)
        contract_signal(ctid, SIGKILL);
}

bool run_killed(tuvod_exec_args_t *run) {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    return run->killed;
}

// Completes, logs and finishes a run that ends without its own outcome
// (shutdown, no thread); the output stays empty.
void record_without_run(tuvod_exec_args_t *run, tuvod_exec_state_t state, int code,
                        const char *message) {
    error_stack errors;
    set_err(INFO_WARN, errors.ptr(), code, nullptr, "%s", message);
    json_ptr output(json_pack("{s:n, s:s, s:s}", "exitStatus", "stdout", "", "stderr", ""));
    cstr_ptr finish;
    if (output && db_pass_enter(run)) {
        store_outcome(&run->cmd, state, output.get(), errors.ptr(), &finish);
        log_outcome(&run->cmd, state, output.get(), errors.head(), finish.get());
        db_pass_leave();
    }
    finish_run(run);
}

// Serves one run that holds its gate: runs it (unless the daemon is
// stopping), lets the gate go, records the outcome. Returns the next
// waiting run of the same gate, which now holds it, or none.
tuvod_exec_args_t *serve_run(tuvod_exec_args_t *run) {
    json_ptr output(json_object());
    error_stack errors;
    tuvod_exec_state_t state = TUVOD_EXEC_LOST;
    bool ran = false;
    if (output && !registry().stopping) {
        contract_set_fork_hook(on_run_fork, run);
        // Whatever happens, the gate must be left and the run recorded.
        try {
            state = run_command(&run->cmd, output.get(), errors.ptr());
        } catch (const std::exception &e) {
            state = TUVOD_EXEC_FAILED;
            set_err(INFO_ERROR, errors.ptr(), TUVOD_EIO, nullptr, "Unexpected failure running %s: %s",
                    run->cmd.uuid.c_str(), e.what());
        }
        contract_set_fork_hook(nullptr, nullptr);
        ran = true;
    }
    tuvod_exec_args_t *next = gate_leave(run->gate.get());
    if (!output) {
        PRINT_INFO(INFO_ERROR, "Failed to create output for async req\n");
        record_without_run(run, TUVOD_EXEC_FAILED, TUVOD_ENOMEM, "Failed to create output for async req");
        return next;
    }
    if (!ran || (run_killed(run) && state != TUVOD_EXEC_FAILED)) {
        state = TUVOD_EXEC_LOST;
        set_err(INFO_WARN, errors.ptr(), TUVOD_EIO, nullptr,
                "Command %s ended by daemon shutdown; its outcome is unknown", run->cmd.uuid.c_str());
        for (const char *key : {"stdout", "stderr"})
            if (json_object_get(output.get(), key) == nullptr)
                json_object_set_new(output.get(), key, json_string(""));
        json_object_set_new(output.get(), "exitStatus", json_null());
    }
    if (db_pass_enter(run)) {
        cstr_ptr finish;
        store_outcome(&run->cmd, state, output.get(), errors.ptr(), &finish, ASYNC_COMPLETE_ATTEMPTS);
        log_outcome(&run->cmd, state, output.get(), errors.head(), finish.get());
        db_pass_leave();
    }
    finish_run(run);
    return next;
}

void thread_ended() {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    r.threads--;
    pthread_cond_broadcast(&r.cv);
}

void *exec_thread(void *arg) {
    auto *run = static_cast<tuvod_exec_args_t *>(arg);
    try {
        while (run != nullptr)
            run = serve_run(run);
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Unexpected failure in exec thread: %s\n", e.what());
    }
    // Last: once counted down, the shutdown may close what this thread used.
    thread_ended();
    return nullptr;
}

// Starts a detached thread for a run that holds its gate. 0, or the
// error of pthread_create.
int start_run_thread(tuvod_exec_args_t *run) {
    async_registry_t &r = registry();
    {
        mutex_guard lock(&r.mutex);
        r.threads++;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = tuvod_exec_thread_create(&thread, &attr, exec_thread, run);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        thread_ended();
    return rc;
}

int thread_error_code(int rc) { return rc == EAGAIN ? TUVOD_EAGAIN : TUVOD_ENOMEM; }

// Starts threads for runs taken off a gate's queue by a thread that cannot
// serve them itself. Such a run was answered "RUNNING" already, so when no
// thread can be had it is recorded FAILED, and the gate goes to the next.
void launch_queued(tuvod_exec_args_t *run) {
    while (run != nullptr) {
        int rc = start_run_thread(run);
        if (rc == 0)
            return;
        PRINT_INFO(INFO_ERROR, "Failed to create exec thread\n");
        tuvod_exec_args_t *next = gate_leave(run->gate.get());
        record_without_run(run, TUVOD_EXEC_FAILED, thread_error_code(rc), "Failed to create exec thread");
        run = next;
    }
}

// Hands an accepted run to a thread now, or queues it at its gate. On
// failure to start a thread, the record is removed, so that a retry with
// the same identifier is not taken for a repeat, and an error is pushed.
void start_async(tuvod_cmd_t cmd, json_t *resp_js, tuvod_error_t **errors, const char *desc) {
    auto run = std::make_unique<tuvod_exec_args_t>();
    run->gate = tuvod_script_gate(cmd.script.get());
    run->cmd = std::move(cmd);
    tuvod_exec_args_t *raw = run.release();
    register_run(raw);
    const std::string uuid = raw->cmd.uuid;
    tuvod_state_t *tuvod = raw->cmd.tuvod;
    tuvod_run_gate_t *gate = raw->gate.get();
    bool now;
    {
        mutex_guard lock(&gate->mutex);
        now = raw->cmd.script->script_concurrent || (gate->running == 0 && gate->waiting.empty());
        if (now) {
            gate->running++;
        } else {
            raw->queued = true;
            gate->waiting.push_back(&raw->waiter);
            // From here the run belongs to the gate.
        }
    }
    if (now) {
        int rc = start_run_thread(raw);
        if (rc != 0) {
            tuvod_exec_args_t *next = gate_leave(gate);
            tuvod_db_delete_cmd(tuvod, uuid.c_str(), "");
            finish_run(raw);
            set_err(INFO_ERROR, errors, thread_error_code(rc), nullptr,
                    "Failed to create exec thread for %s: %s", uuid.c_str(), strerror(rc));
            launch_queued(next);
            return;
        }
    }
    set_resp_state(resp_js, TUVOD_EXEC_RUNNING);
    PRINT_DEBUG(DEBUG_WORKER, "Started new thread to execute %s (request %s)\n", desc, uuid.c_str());
}

// ---- Synchronous runs ----

// Holds the gate for a synchronous run; on leaving, serves the gate's next
// waiting asynchronous run on a thread of its own.
class sync_gate_turn {
  public:
    explicit sync_gate_turn(tuvod_script_t *script) : gate_(tuvod_script_gate(script)) {
        gate_enter_sync(gate_.get(), script);
    }
    ~sync_gate_turn() { launch_queued(gate_leave(gate_.get())); }
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
    cstr_ptr finish;
    store_outcome(cmd, state, output_js, cmd_errors.ptr(), &finish);
    log_outcome(cmd, state, output_js, cmd_errors.head(), finish.get());
    if (json_object_set_new(result.get(), "errors", error_stack_json(cmd_errors.head())) != 0 ||
        json_object_set_new(result.get(), "state", json_string(tuvod_exec_res_str(state))) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to return error stack");
        return;
    }
    if (json_object_set_new(resp_js, "result", result.release()) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set return object");
        return;
    }
    retire_record(cmd->tuvod, cmd->uuid.c_str());
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
void log_execute(const tuvod_cmd_t &cmd, bool async) {
    json_ptr id(json_stringn(cmd.uuid.data(), cmd.uuid.size()));
    cstr_ptr id_text(id ? json_dumps(id.get(), JSON_ENCODE_ANY | JSON_ENSURE_ASCII) : nullptr);
    PRINT_INFO(INFO_INFO, "Executing '%s'%s for %s (request %s)\n", cmd.script->script_name.c_str(),
               async ? " asynchronously" : "", cmd.caller.empty() ? "(unknown caller)" : cmd.caller.c_str(),
               id_text ? id_text.get() : "?");
}

bool request_already_recorded(tuvod_state_t *tuvod, const char *uuid) {
    char *state = nullptr;
    int rc = tuvod_db_get_cmd(tuvod, uuid, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    free(state);
    return rc == 0;
}

} // namespace

int (*tuvod_exec_thread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
    pthread_create;

void handle_exec_req(tuvod_state_t *tuvod, const char *uuid, json_t *req_js, json_t *resp_js,
                     tuvod_error_t **errors) {
    json_t *args_js = json_object_get(req_js, "args");
    if (!exec_request_well_formed(req_js, args_js, errors))
        return;
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
        return;
    }
    tuvod_script_t *script = cmd.script.get();
    char desc[4096];
    const char *cmd_desc = cmd_desc_for_exec_req(args_js, script->script_redact_argv, desc, sizeof desc);
    if (validate_authority(script, json_string_value(json_object_get(req_js, "authority")), errors) != 0)
        return;
    if (validate_caller(script, tuvod_current_caller(), errors) != 0)
        return;
    if (validate_script(script, errors) != 0) {
        set_resp_state(resp_js, TUVOD_EXEC_SCRIPT_INVALID);
        return;
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
        return;
    }
    cmd.uuid = uuid;
    cmd.redacted.reset(redacted_argv_json(cmd.argv.get(), script->script_redact_argv));
    char *start = nullptr;
    if (tuvod_db_start_cmd(tuvod, uuid, script->script_name.c_str(), cmd.redacted.get(), errors,
                           &start) != 0) {
        if (async)
            release_async_slot();
        return;
    }
    cmd.start.reset(start);
    cmd.caller = tuvod_current_caller();
    try {
        cmd.registration = std::make_unique<run_registration>(uuid, cmd.script);
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

void async_runs_stop(tuvod_state_t *tuvod) {
    async_registry_t &r = registry();
    std::vector<tuvod_exec_args_t *> unstarted;
    {
        mutex_guard lock(&r.mutex);
        r.stopping = true;
        // Runs still waiting for their turn never start; they are recorded here.
        for (tuvod_exec_args_t *run : r.runs) {
            mutex_guard gate_lock(&run->gate->mutex);
            if (!run->queued)
                continue;
            auto &waiting = run->gate->waiting;
            waiting.erase(std::find(waiting.begin(), waiting.end(), &run->waiter));
            run->queued = false;
            unstarted.push_back(run);
            gate_next_locked(run->gate.get()); // wakes a synchronous request now first
        }
    }
    for (tuvod_exec_args_t *run : unstarted)
        record_without_run(run, TUVOD_EXEC_LOST, TUVOD_EIO,
                           "Command not started before daemon shutdown; its outcome is unknown");

    // Runs in progress: kill their groups, again each tick for a run that
    // forks meanwhile, until every run thread has recorded and ended.
    struct timespec begin;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    for (;;) {
        {
            mutex_guard lock(&r.mutex);
            if (r.threads == 0)
                break;
            // Only a contract still held is a command still going; one that
            // ended on its own keeps its real outcome.
            for (tuvod_exec_args_t *run : r.runs)
                if (run->ctid > 0 && contract_signal(run->ctid, SIGKILL) == 0)
                    run->killed = true;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long elapsed = (now.tv_sec - begin.tv_sec) * 1000LL + (now.tv_nsec - begin.tv_nsec) / 1000000;
        if (elapsed >= ASYNC_STOP_WAIT_MS)
            break;
        mutex_guard lock(&r.mutex);
        if (r.threads != 0) {
            struct timespec deadline = realtime_after_ms(ASYNC_STOP_TICK_MS);
            pthread_cond_timedwait(&r.cv, &r.mutex, &deadline);
        }
    }

    // Threads that did not end in time may no longer record anything:
    // their rows are marked here, once no thread is inside the database.
    std::vector<std::string> left;
    {
        mutex_guard lock(&r.mutex);
        if (r.threads == 0)
            return;
        for (tuvod_exec_args_t *run : r.runs) {
            run->abandoned = true;
            left.push_back(run->cmd.uuid);
        }
        while (r.db_users != 0)
            pthread_cond_wait(&r.cv, &r.mutex);
    }
    PRINT_INFO(INFO_WARN, "%zu asynchronous commands did not end at shutdown; recorded as LOST\n",
               left.size());
    static constexpr char empty_output[] = "{\"exitStatus\":null,\"stdout\":\"\",\"stderr\":\"\"}";
    for (const std::string &uuid : left) {
        error_stack errors;
        set_err(INFO_WARN, errors.ptr(), TUVOD_EIO, nullptr,
                "Command %s did not end at daemon shutdown; its outcome is unknown", uuid.c_str());
        tuvod_db_complete_cmd_text(tuvod, uuid.c_str(), TUVOD_EXEC_LOST, empty_output,
                                   sizeof empty_output - 1, errors.ptr());
    }
}

// ---- List, get, clear ------------------------------------------------

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
    // Records started over TLS belong to their identity, and a TLS caller
    // sees only its own; between cleartext callers nothing changes.
    if (tuvod_caller_is_tls(me) || tuvod_caller_is_tls(owner))
        return owner == me;
    return true;
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
    if (!tuvod_record_visible(tuvod, cmd_uuid) || !fetch_record(tuvod, cmd_uuid, &rec, errors)) {
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

int async_runs_live() {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    return static_cast<int>(r.slots);
}
