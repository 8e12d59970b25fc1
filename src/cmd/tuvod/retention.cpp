// The retention sweep; see retention.hpp.
#include "retention.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <pthread.h>

#include "db.hpp"
#include "info.hpp"

namespace {

// Records per statement: a batch holds the database lock only briefly, so
// requests are served between batches.
constexpr int sweep_batch = 500;

// A plain thread handle, not std::thread: an exit with the thread still
// running (a deadman's quit) must not end in std::terminate.
struct sweeper_t {
    std::mutex mutex;
    std::condition_variable cv;
    bool run = false;     // guarded by mutex
    bool started = false; // guarded by mutex
    pthread_t thread{};
    tuvod_state_t *tuvod = nullptr;
    long long retention_s = 0;
};
sweeper_t sweeper;

// Set while the thread is being stopped: a sweep then ends after its batch.
std::atomic<bool> stopping{false};

void *sweep_loop(void *) {
    tuvod_state_t *tuvod = sweeper.tuvod;
    long long retention_s = sweeper.retention_s;
    auto interval = std::chrono::seconds(tuvod_sweep_interval(retention_s));
    std::unique_lock<std::mutex> lock(sweeper.mutex);
    while (sweeper.run) {
        lock.unlock();
        tuvod_sweep_once(tuvod, retention_s);
        lock.lock();
        sweeper.cv.wait_for(lock, interval, [] { return !sweeper.run; });
    }
    return nullptr;
}

} // namespace

long long tuvod_retention_seconds(tuvod_state_t *tuvod) {
    json_t *value = json_object_get(tuvod->config_js, "resultRetentionSeconds");
    if (value == nullptr)
        return TUVOD_DEFAULT_RETENTION_S;
    if (!json_is_integer(value) || json_integer_value(value) < 0) {
        PRINT_INFO(INFO_WARN, "resultRetentionSeconds must be a number of seconds (0: keep until "
                              "collected); using %lld\n", TUVOD_DEFAULT_RETENTION_S);
        return TUVOD_DEFAULT_RETENTION_S;
    }
    return static_cast<long long>(json_integer_value(value));
}

long long tuvod_sweep_interval(long long retention_s) {
    return std::clamp(retention_s / 2, 1LL, 3600LL);
}

int tuvod_sweep_once(tuvod_state_t *tuvod, long long retention_s) {
    int total = 0;
    for (;;) {
        int removed = 0;
        if (tuvod_db_sweep_cmds(tuvod, retention_s, sweep_batch, &removed) != 0)
            return -1;
        total += removed;
        if (removed < sweep_batch || stopping)
            break;
    }
    if (total > 0)
        PRINT_INFO(INFO_WARN, "Removed %d finished command records older than %lld seconds\n", total,
                   retention_s);
    return total;
}

int tuvod_start_retention(tuvod_state_t *tuvod) {
    long long retention_s = tuvod_retention_seconds(tuvod);
    if (retention_s == 0) {
        PRINT_INFO(INFO_INFO, "Finished command records are kept until collected\n");
        return 0;
    }
    std::lock_guard<std::mutex> lock(sweeper.mutex);
    sweeper.tuvod = tuvod;
    sweeper.retention_s = retention_s;
    sweeper.run = true;
    stopping = false;
    if (pthread_create(&sweeper.thread, nullptr, sweep_loop, nullptr) != 0) {
        sweeper.run = false;
        PRINT_INFO(INFO_ERROR, "Unable to start the retention sweep thread\n");
        return -1;
    }
    sweeper.started = true;
    return 0;
}

void tuvod_stop_retention() {
    bool started;
    {
        std::lock_guard<std::mutex> lock(sweeper.mutex);
        sweeper.run = false;
        stopping = true;
        started = std::exchange(sweeper.started, false);
    }
    sweeper.cv.notify_all();
    if (started)
        pthread_join(sweeper.thread, nullptr);
}
