// Asynchronous runs: their registry, the threads that serve them, the
// hand-off of waiting runs, and the shutdown.
//
// A run is accepted within a bound ("maxAsyncRuns"; refused with EAGAIN
// beyond it before anything is recorded) and registered until its outcome
// is recorded. A run whose turn has come gets a detached thread; one that
// must wait at a non-concurrent script's gate holds no thread: the thread
// that ends the run before it goes on with it (or, after a synchronous run,
// a new thread). The registry is never destroyed, so that a run thread still
// going at exit meets no destroyed lock. Lock order: the registry's mutex,
// then a gate's mutex or the contract table's; never the reverse.
//
// Shutdown: runs still waiting are recorded LOST without starting; running
// ones are stopped as a cancel stops them, by their script's own kill
// escalation (so a script that traps SIGTERM can clean up), and record
// themselves LOST. When the shutdown's time for that runs out their groups
// are killed (again each tick, for a run that forks meanwhile); threads
// that do not end even then are abandoned, and their rows marked once no
// thread is in the database.
#include "async.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "contract.hpp"
#include "db.hpp"
#include "error.hpp"
#include "gate.hpp"
#include "info.hpp"
#include "runs.hpp"
#include "utils.hpp"

// An asynchronous run, from its acceptance to its completion record.
struct tuvod_exec_args_t {
    tuvod_cmd_t cmd;
    std::shared_ptr<tuvod_run_gate_t> gate;
    tuvod_gate_waiter_t waiter{this};
    std::list<tuvod_exec_args_t *>::iterator where; // in the registry; guarded by its mutex
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
// How long an asynchronous run keeps trying to record its outcome (for
// example while the disk is full): nobody waits for its answer, and an
// unrecorded outcome would leave the record "RUNNING" until the next start.
constexpr int ASYNC_COMPLETE_ATTEMPTS = 30;



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

// Stops a running run for the shutdown: through its own escalation when
// it can be cancelled, else at once. Caller holds the registry's mutex.
void stop_for_shutdown(tuvod_exec_args_t *run) {
    run->killed = true;
    tuvod_run_t *registered = run->cmd.registration ? run->cmd.registration->run() : nullptr;
    if (registered != nullptr) {
        registered->by_shutdown = true;
        cancel_run(registered, "");
    } else {
        contract_signal(run->ctid, SIGKILL);
    }
}

void on_run_fork(void *ctx, ctid_t ctid) {
    auto *run = static_cast<tuvod_exec_args_t *>(ctx);
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    run->ctid = ctid;
    if (r.stopping && !run->killed)
        stop_for_shutdown(run);
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
    tuvod_exec_args_t *next = gate_leave(run->gate.get(), registry().stopping);
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
        store_outcome(&run->cmd, state, output.get(), errors.ptr(), &finish, ASYNC_COMPLETE_ATTEMPTS,
                      &registry().stopping);
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
        tuvod_exec_args_t *next = gate_leave(run->gate.get(), registry().stopping);
        record_without_run(run, TUVOD_EXEC_FAILED, thread_error_code(rc), "Failed to create exec thread");
        run = next;
    }
}


} // namespace

int (*tuvod_exec_thread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
    pthread_create;

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

void start_async(tuvod_cmd_t cmd, json_t *resp_js, tuvod_error_t **errors, const char *desc) {
    auto run = std::make_unique<tuvod_exec_args_t>();
    run->gate = tuvod_script_gate(cmd.script.get());
    run->cmd = std::move(cmd);
    tuvod_exec_args_t *raw = run.release();
    register_run(raw);
    const std::string uuid = raw->cmd.uuid;
    tuvod_state_t *tuvod = raw->cmd.tuvod;
    tuvod_run_gate_t *gate = raw->gate.get();
    // From here a queued run belongs to the gate.
    if (gate_enter_async(gate, raw->cmd.script.get(), &raw->waiter)) {
        int rc = start_run_thread(raw);
        if (rc != 0) {
            tuvod_exec_args_t *next = gate_leave(gate, registry().stopping);
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

void async_gate_handoff(tuvod_run_gate_t *gate) { launch_queued(gate_leave(gate, registry().stopping)); }

void async_runs_stop(tuvod_state_t *tuvod, int64_t kill_at_ms) {
    if (kill_at_ms < 0)
        kill_at_ms = monotonic_ms() + ASYNC_ESCALATION_MS;
    async_registry_t &r = registry();
    std::vector<tuvod_exec_args_t *> unstarted;
    {
        mutex_guard lock(&r.mutex);
        r.stopping = true;
        // Runs still waiting for their turn never start; they are recorded here.
        for (tuvod_exec_args_t *run : r.runs)
            if (gate_withdraw(run->gate.get(), &run->waiter))
                unstarted.push_back(run);
    }
    for (tuvod_exec_args_t *run : unstarted)
        record_without_run(run, TUVOD_EXEC_LOST, TUVOD_EIO,
                           "Command not started before daemon shutdown; its outcome is unknown");

    // Runs in progress: their own escalation until kill_at_ms, then their
    // groups killed, again each tick for a run that forks meanwhile, until
    // every run thread has recorded and ended.
    {
        mutex_guard lock(&r.mutex);
        // Only a contract still held is a command still going; one that
        // ended on its own keeps its real outcome.
        for (tuvod_exec_args_t *run : r.runs)
            if (run->ctid > 0 && !run->killed)
                stop_for_shutdown(run);
    }
    for (;;) {
        const int64_t now = monotonic_ms();
        {
            mutex_guard lock(&r.mutex);
            if (r.threads == 0)
                break;
            if (now >= kill_at_ms)
                for (tuvod_exec_args_t *run : r.runs)
                    if (run->ctid > 0 && contract_signal(run->ctid, SIGKILL) == 0)
                        run->killed = true;
        }
        if (now - kill_at_ms >= ASYNC_STOP_WAIT_MS)
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

int async_runs_live() {
    async_registry_t &r = registry();
    mutex_guard lock(&r.mutex);
    return static_cast<int>(r.slots);
}
