// Common utilities.
#include "utils.hpp"

#include <uuid/uuid.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "error.hpp"
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

const char *tuvod_exec_res_str(tuvod_exec_state_t exec_res) {
    static constexpr const char *names[] = {
        "COMPLETE", "RUNNING", "LOST",    "ARCHIVED",       "INVALID_CMD", "INVALID_SCRIPT",
        "FAILED",   "TIMEDOUT", "ABNORMAL_EXOIT", "DIED", "WONTDIE",
    };
    auto index = static_cast<unsigned>(exec_res);
    return index < sizeof names / sizeof names[0] ? names[index] : "UNKNOWN";
}

const char *wire_strerror(int error_code) {
    // Only ETIMEDOUT is numbered differently here; the others coincide.
    return strerror(error_code == TUVOD_ETIMEDOUT ? ETIMEDOUT : error_code);
}

int set_err(info_level_t lvl, tuvod_error_t **errors, int error_code, json_t *error_data_js,
            const char *format, ...) {
    if (errors == nullptr)
        return -1;
    tuvod_error_severity_t severity = TUVOD_ERROR_SEVERITY_NOTICE;
    if (lvl <= INFO_ERROR)
        severity = TUVOD_ERROR_SEVERITY_ERROR;
    else if (lvl == INFO_WARN)
        severity = TUVOD_ERROR_SEVERITY_WARNING;
    va_list args;
    va_start(args, format);
    int rc = stack_error(errors, severity, error_code, error_data_js, format, args);
    va_end(args);
    if (rc != 0)
        return -1;
    PRINT_INFO(lvl, "%s%s%s\n", wire_strerror(error_code), " : ", (*errors)->error_string);
    return 0;
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
