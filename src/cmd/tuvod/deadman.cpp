// Deadman timers.
//
// Each deadman is one thread that holds the record's mutex except while it
// waits on the record's condition variable for the end of a period. Reset and
// stop take the same mutex, change the period (or clear run) and broadcast;
// any wake-up before the deadline starts a full new period from that moment,
// so a reset counts from the reset, not from the start. The deadline is on the
// real-time clock because that is the clock pthread_cond_timedwait uses with
// default attributes. A QUIT or ABORT firing ends the process from the timer
// thread while the other threads run on. Stop clears run, joins the thread
// and frees the record; it must not be called from the timer thread.
#include "deadman.hpp"

#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "info.hpp"
#include "utils.hpp"

namespace {

// The text that follows the period in the firing message: " msg" or nothing.
const char *msg_sep(const tuvod_deadman_t *dm) {
    return dm->msg != nullptr ? " " : "";
}
const char *msg_text(const tuvod_deadman_t *dm) {
    return dm->msg != nullptr ? dm->msg : "";
}

void fire(const tuvod_deadman_t *dm) {
    switch (dm->action) {
    case TUVOD_DEADMAN_WARN:
        PRINT_INFO(INFO_WARN, "Deadman %s fired after %ds%s%s\n", dm->name, dm->timeout_s,
                   msg_sep(dm), msg_text(dm));
        break;
    case TUVOD_DEADMAN_QUIT:
        PRINT_INFO(INFO_WARN, "Deadman %s fired after %ds%s%s, exit\n", dm->name, dm->timeout_s,
                   msg_sep(dm), msg_text(dm));
        // Not exit(): static destructors would run under threads that may
        // still wait on what they destroy. Only the logs are flushed.
        fflush(nullptr);
        _exit(1);
    case TUVOD_DEADMAN_ABORT:
        PRINT_INFO(INFO_WARN, "Deadman %s fired after %ds%s%s, abort\n", dm->name, dm->timeout_s,
                   msg_sep(dm), msg_text(dm));
        abort();
    }
    // Any other action only starts a new period.
}

// Runs with dm->mutex held; returns when run is cleared or a wait fails.
void guard(tuvod_deadman_t *dm) {
    while (dm->run) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += dm->timeout_s;
        int rc = pthread_cond_timedwait(&dm->cv, &dm->mutex, &deadline);
        if (rc == 0)
            continue; // reset, stop or spurious: a new period of the current length
        if (rc == ETIMEDOUT) {
            fire(dm);
            continue;
        }
        PRINT_INFO(INFO_ERROR, "Failure in deadman %s%s%s: %s\n", dm->name,
                   dm->msg != nullptr ? ", " : "", msg_text(dm), strerror(rc));
        return;
    }
}

void *deadman_thread(void *arg) {
    auto *dm = static_cast<tuvod_deadman_t *>(arg);
    try {
        {
            mutex_guard lock(&dm->mutex);
            guard(dm);
        }
        PRINT_DEBUG(DEBUG_GENERAL, "Deadman %s exiting\n", dm->name);
    } catch (...) {
        PRINT_INFO(INFO_ERROR, "Deadman %s ended by an unexpected exception\n", dm->name);
    }
    return nullptr;
}

} // namespace

tuvod_deadman_t *tuvod_start_deadman(tuvod_state_t *tuvod, int timeout_s,
                                     tuvod_deadman_action_t action, const char *name,
                                     const char *msg) {
    std::unique_ptr<tuvod_deadman_t> dm;
    try {
        dm = std::make_unique<tuvod_deadman_t>();
    } catch (const std::bad_alloc &) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate deadman %s", name);
        return nullptr;
    }
    dm->tuvod = tuvod;
    dm->timeout_s = timeout_s;
    dm->run = true;
    dm->name = name;
    dm->msg = msg;
    dm->action = action;
    // The record's mutex and condition variable are statically initialised
    // with default attributes, so only the thread can fail here.
    if (pthread_create(&dm->thread, nullptr, deadman_thread, dm.get()) != 0) {
        pthread_cond_destroy(&dm->cv);
        pthread_mutex_destroy(&dm->mutex);
        return nullptr;
    }
    return dm.release();
}

void tuvod_deadman_reset(tuvod_deadman_t *id, int timeout_s, const char *msg) {
    mutex_guard lock(&id->mutex);
    id->timeout_s = timeout_s;
    id->msg = msg;
    pthread_cond_broadcast(&id->cv);
}

void tuvod_stop_deadman(tuvod_deadman_t *id) {
    std::unique_ptr<tuvod_deadman_t> dm(id);
    {
        mutex_guard lock(&dm->mutex);
        dm->run = false;
        pthread_cond_broadcast(&dm->cv);
    }
    pthread_join(dm->thread, nullptr);
    pthread_cond_destroy(&dm->cv);
    pthread_mutex_destroy(&dm->mutex);
}
