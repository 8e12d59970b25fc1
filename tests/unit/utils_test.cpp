// Common utilities: time stamps, counters, identifiers, the stopwatch, state
// names, wire error texts and the fatal mutex guard.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "handles.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"
#include "utils.hpp"
#include "wire.hpp"

namespace {

// Sets TZ for one scope and restores the previous value.
class tz_scope {
  public:
    explicit tz_scope(const char *tz) {
        if (const char *old = getenv("TZ"))
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~tz_scope() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    tz_scope(const tz_scope &) = delete;
    tz_scope &operator=(const tz_scope &) = delete;

  private:
    std::optional<std::string> old_;
};

std::string json_text(json_t *js) {
    json_ptr owner(js);
    return owner && json_is_string(owner.get()) ? json_string_value(owner.get()) : "<none>";
}

} // namespace

TEST(Utils, TimeStampIsLocalWithMicrosecondsAndOffset) {
    struct timeval tv = {1700000000, 5};
    {
        tz_scope tz("UTC0");
        EXPECT_EQ(json_text(json_time(&tv)), "2023-11-14T22:13:20.000005+0000");
    }
    {
        tz_scope tz("XST-5:30");
        tv.tv_usec = 999999;
        EXPECT_EQ(json_text(json_time(&tv)), "2023-11-15T03:43:20.999999+0530");
        cstr_ptr text(time_str(&tv));
        ASSERT_TRUE(text);
        EXPECT_STREQ(text.get(), "2023-11-15T03:43:20.999999+0530");
    }
    {
        tz_scope tz("YST7");
        tv.tv_usec = 0;
        EXPECT_EQ(json_text(json_time(&tv)), "2023-11-14T15:13:20.000000-0700");
    }
    std::string now = json_text(json_now());
    EXPECT_TRUE(has_shape(now, "9999-99-99T99:99:99.999999~9999")) << now;
}

TEST(Utils, CountersReturnTheOldValueAndWakeWaiters) {
    tuvod_state_t tuvod;
    unsigned counter = 0;
    EXPECT_EQ(tuvod_incr_counter(&tuvod, &counter), 0u);
    EXPECT_EQ(counter, 1u);
    EXPECT_EQ(tuvod_decr_counter(&tuvod, &counter), 1u);
    EXPECT_EQ(counter, 0u);
    EXPECT_EQ(tuvod_decr_counter(&tuvod, &counter), 0u);
    EXPECT_EQ(counter, UINT_MAX);
    counter = 0;

    // A thread waiting on daemon_cv for the counter must see the change.
    struct waiter_args {
        tuvod_state_t *tuvod;
        unsigned *counter;
        bool seen;
    } args{&tuvod, &counter, false};
    pthread_t waiter;
    ASSERT_EQ(pthread_create(
                  &waiter, nullptr,
                  [](void *p) -> void * {
                      auto *a = static_cast<waiter_args *>(p);
                      struct timespec until;
                      clock_gettime(CLOCK_REALTIME, &until);
                      until.tv_sec += 10;
                      pthread_mutex_lock(&a->tuvod->daemon_mutex);
                      int rc = 0;
                      while (*a->counter != 2 && rc != ETIMEDOUT)
                          rc = pthread_cond_timedwait(&a->tuvod->daemon_cv, &a->tuvod->daemon_mutex,
                                                      &until);
                      a->seen = *a->counter == 2;
                      pthread_mutex_unlock(&a->tuvod->daemon_mutex);
                      return nullptr;
                  },
                  &args),
              0);
    tuvod_incr_counter(&tuvod, &counter);
    tuvod_incr_counter(&tuvod, &counter);
    pthread_join(waiter, nullptr);
    EXPECT_TRUE(args.seen);
}

TEST(Utils, IdentifiersAreFreshLowerCaseUuids) {
    const char *form = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    cstr_ptr a(generate_uuid_str());
    cstr_ptr b(generate_uuid_str());
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(has_shape(a.get(), form)) << a.get();
    EXPECT_TRUE(has_shape(b.get(), form)) << b.get();
    EXPECT_STRNE(a.get(), b.get());
    std::string js = json_text(generate_uuid_js());
    EXPECT_TRUE(has_shape(js, form)) << js;
    EXPECT_NE(js, a.get());
}

TEST(Utils, StopwatchReadings) {
    tuvod_sw_t sw;
    struct timespec now = {11, 300000000};
    EXPECT_STREQ(stopwatch_str_at(&sw, &now), "Stopwatch not running");

    sw.start = {10, 900000000}; // the nanoseconds borrow a second
    EXPECT_STREQ(stopwatch_str_at(&sw, &now), "0.400000000s");
    sw.start = {10, 100000000};
    now = {12, 300000000};
    EXPECT_STREQ(stopwatch_str_at(&sw, &now), "2.200000000s");
    now = {12, 100000000};
    EXPECT_STREQ(stopwatch_str_at(&sw, &now), "2.000000000s");

    stopwatch_start(&sw);
    std::string reading = stopwatch_str(&sw);
    ASSERT_GE(reading.size(), 12u) << reading;
    EXPECT_TRUE(has_number_between(reading.substr(0, reading.size() - 11), "", "") &&
                has_shape(reading.substr(reading.size() - 11), ".999999999s"))
        << reading;
}

TEST(Utils, ExecStateNames) {
    EXPECT_STREQ(tuvod_exec_res_str(TUVOD_EXEC_COMPLETE), "COMPLETE");
    EXPECT_STREQ(tuvod_exec_res_str(TUVOD_EXEC_CMD_INVALID), "INVALID_CMD");
    EXPECT_STREQ(tuvod_exec_res_str(TUVOD_EXEC_ABNORMAL_EXIT), "ABNORMAL_EXOIT");
    EXPECT_STREQ(tuvod_exec_res_str(TUVOD_EXEC_WONTDIE), "WONTDIE");
    EXPECT_STREQ(tuvod_exec_res_str(static_cast<tuvod_exec_state_t>(11)), "UNKNOWN");
    EXPECT_STREQ(tuvod_exec_res_str(static_cast<tuvod_exec_state_t>(-1)), "UNKNOWN");
}

TEST(Utils, WireErrorTextsAreTheLocalOnes) {
    EXPECT_STREQ(wire_strerror(TUVOD_ETIMEDOUT), strerror(ETIMEDOUT));
    // Numbered differently here: not the local text of errno 47.
    EXPECT_STREQ(wire_strerror(TUVOD_ECANCELED), strerror(ECANCELED));
    EXPECT_STREQ(wire_strerror(TUVOD_EINVAL), strerror(EINVAL));
    EXPECT_STREQ(wire_strerror(TUVOD_EPERM), strerror(EPERM));
}

TEST(UtilsDeathTest, MutexFailureIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
            pthread_mutex_t m;
            pthread_mutex_init(&m, &attr);
            mutex_guard outer(&m);
            mutex_guard inner(&m); // relocking an error-checking mutex fails
        },
        testing::ExitedWithCode(1), "Failed to lock mutex: Resource deadlock avoided");
}
