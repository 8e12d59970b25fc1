// The status report; see status.hpp.
#include "status.hpp"

#include <atomic>

#include "async.hpp"
#include "counters.hpp"
#include "db.hpp"
#include "router.hpp"
#include "runs.hpp"
#include "utils.hpp"

namespace {

// Taken when the process starts (static initialisation).
const run_stopwatch process_clock;

// The finished records waiting to be collected, as the last refresh found
// them: the report is made on the transport's I/O thread, which must never
// wait for the database.
std::atomic<long long> uncollected_records{0};
std::atomic<double> oldest_uncollected_s{-1};

unsigned workers_total(tuvod_state_t *tuvod) {
    mutex_guard lock(&tuvod->workers_mutex);
    return tuvod->n_workers;
}

} // namespace

int tuvod_queued_requests(tuvod_state_t *tuvod) {
    return static_cast<int>(tuvod_router_counters(tuvod).queued_requests);
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
    edge::counters net = tuvod_router_counters(tuvod);
    json_ptr connections(json_pack("{s:I, s:I, s:I}", "open", static_cast<json_int_t>(net.open), "refusedAtCap",
                                   static_cast<json_int_t>(net.refused_at_cap), "closedByDeadline",
                                   static_cast<json_int_t>(net.closed_by_deadline)));
    if (!scripts || !reload || !connections)
        return nullptr;
    // Growth of uncollected results shows here; nothing removes them by default.
    long long uncollected = uncollected_records.load();
    double oldest_s = oldest_uncollected_s.load();
    json_ptr oldest(oldest_s >= 0 ? json_real(oldest_s) : json_null());
    return json_ptr(json_pack(
        "{s:s, s:O?, s:s, s:f, s:{s:i, s:i}, s:i, s:I, s:i, s:i, s:O, s:O, s:O, s:I, s:O}", "version",
        TUVOD_VERSION_TEXT,
        "instance", tuvod->uuid_js, "host", tuvod->my_hostname, "uptimeSeconds",
        process_clock.seconds(), "workers", "total", static_cast<int>(workers_total(tuvod)), "busy",
        busy_worker_count(), "queuedRequests", tuvod_queued_requests(tuvod), "runningCommands",
        static_cast<json_int_t>(runs_in_progress()), "asyncRuns", tuvod_async_runs(),
        "scriptsLoaded", tuvod_scripts_loaded(tuvod), "lastReload", reload.get(), "scripts",
        scripts.get(), "connections", connections.get(), "uncollectedRecords",
        static_cast<json_int_t>(uncollected), "oldestUncollectedSeconds", oldest.get()));
}

void tuvod_status_refresh(tuvod_state_t *tuvod) {
    long long count = 0;
    double oldest_s = -1;
    if (tuvod_db_uncollected(tuvod, &count, &oldest_s) != 0)
        return;
    uncollected_records = count;
    oldest_uncollected_s = oldest_s;
}

std::string tuvod_status_summary(tuvod_state_t *tuvod) {
    return std::to_string(tuvod_scripts_loaded(tuvod)) + " scripts loaded, " +
           std::to_string(runs_in_progress()) + " commands running, " +
           std::to_string(tuvod_queued_requests(tuvod)) + " requests queued";
}
