// The status report; see status.hpp.
#include "status.hpp"

#include "async.hpp"
#include "counters.hpp"
#include "db.hpp"
#include "runs.hpp"
#include "utils.hpp"

namespace {

// Taken when the process starts (static initialisation).
const run_stopwatch process_clock;

unsigned workers_total(tuvod_state_t *tuvod) {
    mutex_guard lock(&tuvod->workers_mutex);
    return tuvod->n_workers;
}

} // namespace

int tuvod_queued_requests(tuvod_state_t *tuvod) {
    mutex_guard lock(&tuvod->jobs_mutex);
    return tuvod->n_jobs_pending;
}

int tuvod_async_runs() { return async_runs_live(); }

int tuvod_scripts_loaded(tuvod_state_t *tuvod) {
    mutex_guard lock(&tuvod->daemon_mutex);
    int n = 0;
    for (tuvod_script_t *s = tuvod->tuvod_scripts.get(); s != nullptr; s = s->next.get())
        n++;
    return n;
}

json_ptr tuvod_status_json(tuvod_state_t *tuvod) {
    json_ptr scripts = counters_scripts_json();
    json_ptr reload = counters_reload_json();
    if (!scripts || !reload)
        return nullptr;
    // Growth of uncollected results shows here; nothing removes them by default.
    long long uncollected = 0;
    double oldest_s = -1;
    tuvod_db_uncollected(tuvod, &uncollected, &oldest_s);
    json_ptr oldest(oldest_s >= 0 ? json_real(oldest_s) : json_null());
    return json_ptr(json_pack(
        "{s:s, s:O?, s:s, s:f, s:{s:i, s:i}, s:i, s:I, s:i, s:i, s:O, s:O, s:I, s:O}", "version", TUVOD_VERSION_TEXT,
        "instance", tuvod->uuid_js, "host", tuvod->my_hostname, "uptimeSeconds",
        process_clock.seconds(), "workers", "total", static_cast<int>(workers_total(tuvod)), "busy",
        busy_worker_count(), "queuedRequests", tuvod_queued_requests(tuvod), "runningCommands",
        static_cast<json_int_t>(runs_in_progress()), "asyncRuns", tuvod_async_runs(),
        "scriptsLoaded", tuvod_scripts_loaded(tuvod), "lastReload", reload.get(), "scripts",
        scripts.get(), "uncollectedRecords", static_cast<json_int_t>(uncollected),
        "oldestUncollectedSeconds", oldest.get()));
}

std::string tuvod_status_summary(tuvod_state_t *tuvod) {
    return std::to_string(tuvod_scripts_loaded(tuvod)) + " scripts loaded, " +
           std::to_string(runs_in_progress()) + " commands running, " +
           std::to_string(tuvod_queued_requests(tuvod)) + " requests queued";
}
