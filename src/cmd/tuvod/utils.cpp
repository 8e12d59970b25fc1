// Common utilities.
#include "utils.hpp"

#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "handles.hpp"
#include "info.hpp"

char *time_str(const struct timeval *time_tv) {
    struct tm tm_local;
    time_t secs = time_tv->tv_sec;
    if (localtime_r(&secs, &tm_local) == nullptr)
        return nullptr;
    char fmt[64];
    if (strftime(fmt, sizeof fmt, "%Y-%m-%dT%H:%M:%S.%%06u%z", &tm_local) == 0)
        return nullptr;
    char text[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, sizeof text, fmt, static_cast<unsigned>(time_tv->tv_usec));
#pragma GCC diagnostic pop
    return strdup(text);
}

json_t *json_time(const struct timeval *time_tv) {
    cstr_ptr text(time_str(time_tv));
    return text ? json_string(text.get()) : nullptr;
}

json_t *json_now() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return nullptr;
    return json_time(&now);
}

unsigned tuvod_incr_counter(tuvod_state_t *tuvod, unsigned *counter) {
    mutex_guard lock(&tuvod->daemon_mutex);
    unsigned old = (*counter)++;
    pthread_cond_broadcast(&tuvod->daemon_cv);
    return old;
}

unsigned tuvod_decr_counter(tuvod_state_t *tuvod, unsigned *counter) {
    mutex_guard lock(&tuvod->daemon_mutex);
    unsigned old = (*counter)--;
    pthread_cond_broadcast(&tuvod->daemon_cv);
    return old;
}

namespace {
void uuid_text(char (&buf)[37]) {
    uuid_t uu;
    std::memset(buf, 0, sizeof buf);
    uuid_generate(uu);
    uuid_unparse_lower(uu, buf);
}
} // namespace

char *generate_uuid_str() {
    char buf[37];
    uuid_text(buf);
    return strdup(buf);
}

json_t *generate_uuid_js() {
    char buf[37];
    uuid_text(buf);
    return json_string(buf);
}

void stopwatch_start(tuvod_sw_t *sw) {
    if (clock_gettime(CLOCK_MONOTONIC, &sw->start) != 0) {
        PRINT_INFO(INFO_WARN, "Failed to start stopwatch: %s\n", strerror(errno));
        sw->start = {};
    }
}

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

run_stopwatch::run_stopwatch() { clock_gettime(CLOCK_MONOTONIC, &start_); }

double run_stopwatch::seconds() const {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start_.tv_sec) + (now.tv_nsec - start_.tv_nsec) / 1e9;
}

struct timespec realtime_after_ms(long ms) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_nsec += ms * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

const char *stopwatch_str_at(tuvod_sw_t *sw, const struct timespec *now) {
    if (sw->start.tv_sec == 0 && sw->start.tv_nsec == 0)
        return "Stopwatch not running";
    long secs = now->tv_sec - sw->start.tv_sec;
    long nsecs = now->tv_nsec - sw->start.tv_nsec;
    if (now->tv_nsec < sw->start.tv_nsec) {
        secs -= 1;
        nsecs += 1000000000L;
    }
    snprintf(sw->desc, sizeof sw->desc, "%ld.%09lds", secs, nsecs);
    return sw->desc;
}

const char *stopwatch_str(tuvod_sw_t *sw) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return "Unavailable";
    return stopwatch_str_at(sw, &now);
}

mutex_guard::mutex_guard(pthread_mutex_t *m) : m_(m) {
    int rc = pthread_mutex_lock(m_);
    if (rc != 0)
        PRINT_INFO(INFO_CRITICAL, "Failed to lock mutex: %s\n", strerror(rc));
}

mutex_guard::~mutex_guard() {
    int rc = pthread_mutex_unlock(m_);
    if (rc != 0)
        PRINT_INFO(INFO_CRITICAL, "Failed to unlock mutex: %s\n", strerror(rc));
}

// ---- Time-out arithmetic ----

int64_t ms_from_seconds(int64_t seconds) {
    if (seconds > INT64_MAX / 1000)
        return INT64_MAX;
    if (seconds < INT64_MIN / 1000)
        return INT64_MIN;
    return seconds * 1000;
}

int poll_timeout_ms(int64_t ms) {
    return ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

