// Run tallies per script name, the last reload and the busy workers; see
// counters.hpp.
#include "counters.hpp"

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <new>

#include "utils.hpp"

namespace {

struct script_counters {
    long long runs = 0, completed = 0, failed = 0, timed_out = 0, killed = 0;
    double seconds_sum = 0, seconds_max = 0;
};

std::mutex counters_mutex;
std::map<std::string, script_counters> counters; // by script name

std::atomic<int> busy_workers{0};

std::atomic<long long> refused_requests{0};

struct reload_note {
    bool happened = false;
    bool ok = false;
    int skipped = 0;
    struct timeval when {};
};
std::mutex reload_mutex;
reload_note last_reload;

void tally(script_counters *c, tuvod_exec_state_t state, double seconds) {
    c->runs++;
    switch (state) {
    case TUVOD_EXEC_COMPLETE:
        c->completed++;
        break;
    case TUVOD_EXEC_TIMEDOUT:
    case TUVOD_EXEC_WONTDIE:
        c->timed_out++;
        break;
    case TUVOD_EXEC_DIED:
        c->killed++;
        break;
    default:
        c->failed++;
        break;
    }
    c->seconds_sum += seconds;
    c->seconds_max = std::max(c->seconds_max, seconds);
}

json_ptr tally_json() {
    json_ptr obj(json_object());
    std::lock_guard<std::mutex> lock(counters_mutex);
    for (const auto &[name, c] : counters) {
        json_t *one = json_pack("{s:I, s:I, s:I, s:I, s:I, s:f, s:f}", "runs",
                                static_cast<json_int_t>(c.runs), "completed",
                                static_cast<json_int_t>(c.completed), "failed",
                                static_cast<json_int_t>(c.failed), "timedOut",
                                static_cast<json_int_t>(c.timed_out), "killed",
                                static_cast<json_int_t>(c.killed), "runSecondsSum", c.seconds_sum,
                                "runSecondsMax", c.seconds_max);
        // A name that is not UTF-8 cannot be a JSON key; such a script is left out.
        if (obj && one != nullptr && json_object_set_new(obj.get(), name.c_str(), one) != 0)
            continue;
    }
    return obj;
}

json_ptr reload_note_json() {
    reload_note note;
    {
        std::lock_guard<std::mutex> lock(reload_mutex);
        note = last_reload;
    }
    if (!note.happened)
        return json_ptr(json_pack("{s:n, s:n, s:n, s:n}", "time", "epochSeconds", "result", "skippedFiles"));
    cstr_ptr stamp(time_str(&note.when));
    return json_ptr(json_pack("{s:s?, s:I, s:s, s:i}", "time", stamp.get(), "epochSeconds",
                              static_cast<json_int_t>(note.when.tv_sec), "result", note.ok ? "ok" : "failed",
                              "skippedFiles", note.skipped));
}

} // namespace

busy_worker::busy_worker() { busy_workers++; }
busy_worker::~busy_worker() { busy_workers--; }

void tuvod_count_run(const char *name, tuvod_exec_state_t state, double seconds) {
    try {
        std::lock_guard<std::mutex> lock(counters_mutex);
        tally(&counters[name], state, seconds);
    } catch (const std::bad_alloc &) {
        // A figure lost is better than a run's outcome lost.
    }
}

void tuvod_note_reload(bool ok, int skipped) {
    std::lock_guard<std::mutex> lock(reload_mutex);
    last_reload.happened = true;
    last_reload.ok = ok;
    last_reload.skipped = skipped;
    gettimeofday(&last_reload.when, nullptr);
}

json_ptr counters_scripts_json() { return tally_json(); }

json_ptr counters_reload_json() { return reload_note_json(); }

int busy_worker_count() { return busy_workers.load(); }

void tuvod_count_refusal() { refused_requests++; }

long long refused_request_count() { return refused_requests.load(); }
