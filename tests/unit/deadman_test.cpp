// Deadman timers with short periods: firing by action, reset, stop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "deadman.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"

using lines_t = std::vector<std::string>;
using std::chrono::steady_clock;

namespace {

long count_of(const lines_t &lines, const std::string &text) {
    return std::count(lines.begin(), lines.end(), text);
}

double seconds_since(steady_clock::time_point t) {
    return std::chrono::duration<double>(steady_clock::now() - t).count();
}

} // namespace

TEST(DeadmanDeathTest, QuitExitsAndAbortAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A period of 0 fires at once; the bounded sleep only fails the test.
    EXPECT_EXIT(
        {
            tuvod_start_deadman(nullptr, 0, TUVOD_DEADMAN_QUIT, "quitter", "guarding the exit");
            sleep(10);
            _exit(0);
        },
        testing::ExitedWithCode(1), "Deadman quitter fired after 0s guarding the exit, exit\n");
    EXPECT_EXIT(
        {
            tuvod_start_deadman(nullptr, 1, TUVOD_DEADMAN_ABORT, "aborter", nullptr);
            sleep(10);
            _exit(0);
        },
        testing::KilledBySignal(SIGABRT), "Deadman aborter fired after 1s, abort\n");
}

TEST(Deadman, WarnFiresOncePerPeriod) {
    log_sandbox log;
    const std::string warning = "Deadman warner fired after 1s"; // no text: no trailing space
    auto started = steady_clock::now();
    tuvod_deadman_t *dm = tuvod_start_deadman(nullptr, 1, TUVOD_DEADMAN_WARN, "warner", nullptr);
    ASSERT_NE(dm, nullptr);
    // Repeated warnings would be folded into a count; distinct probes keep
    // every one of them visible.
    int probe = 0;
    bool twice = log.wait_for(
        [&](const lines_t &lines) {
            print_info(INFO_WARN, "probe %d\n", probe++);
            return count_of(lines, warning) >= 2;
        },
        std::chrono::seconds(5));
    double elapsed = seconds_since(started);
    tuvod_stop_deadman(dm);

    EXPECT_TRUE(twice) << log.raw();
    EXPECT_GE(elapsed, 1.9); // two full periods, not faster
    print_info(INFO_WARN, "after stop\n");
    EXPECT_EQ(count_of(log.lines(), warning), 2) << log.raw();
}

TEST(Deadman, ResetStartsAFullPeriodFromTheReset) {
    log_sandbox log;
    tuvod_deadman_t *dm =
        tuvod_start_deadman(nullptr, 2, TUVOD_DEADMAN_WARN, "resetter", "phase one");
    ASSERT_NE(dm, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto reset_at = steady_clock::now();
    tuvod_deadman_reset(dm, 1, "phase two");
    // Neither the old deadline (0.5 s after the reset) nor a period counted
    // from the start (already over) may fire it.
    bool fired =
        log.wait_for([](const lines_t &lines) { return !lines.empty(); }, std::chrono::seconds(5));
    double elapsed = seconds_since(reset_at);
    tuvod_stop_deadman(dm);

    ASSERT_TRUE(fired);
    EXPECT_EQ(log.lines().front(), "Deadman resetter fired after 1s phase two");
    EXPECT_GE(elapsed, 0.95);
}

TEST(Deadman, StopBeforeTheDeadlineIsQuiet) {
    log_sandbox log;
    tuvod_deadman_t *dm = tuvod_start_deadman(nullptr, 5, TUVOD_DEADMAN_QUIT, "stopper", "work");
    ASSERT_NE(dm, nullptr);
    tuvod_stop_deadman(dm);
    EXPECT_TRUE(log.lines().empty()) << log.raw();

    set_info_level(INFO_DEBUG);
    global_debug_mask = DEBUG_GENERAL;
    dm = tuvod_start_deadman(nullptr, 5, TUVOD_DEADMAN_ABORT, "stopper", nullptr);
    ASSERT_NE(dm, nullptr);
    tuvod_deadman_reset(dm, 5, "still working");
    tuvod_stop_deadman(dm);
    lines_t got = log.lines();
    ASSERT_EQ(got.size(), 1u) << log.raw();
    EXPECT_TRUE(has_number_between(got[0], "[DEBUG: deadman.cpp at line ",
                                   " in deadman_thread()] Deadman stopper exiting"))
        << got[0];
}
