// Command execution with real processes in real process groups.
#include "execute.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "contract.hpp"
#include "error.hpp"
#include "execute_test_helpers.hpp"
#include "procgroup.hpp"
#include "scripts.hpp"
#include "utils.hpp"
#include "validate.hpp"

using namespace exec_test;

namespace {

// Removes this test process's group subtree once every test has run.
class procgroup_environment : public ::testing::Environment {
    void TearDown() override { procgroup_finish(); }
};
[[maybe_unused]] ::testing::Environment *const procgroup_env =
    ::testing::AddGlobalTestEnvironment(new procgroup_environment);

struct run_result {
    tuvod_exec_state_t state = TUVOD_EXEC_FAILED;
    int exit_status = -1;
    bool out_set = false;
    std::string out, err;
};

run_result run(tuvod_script_t *script, std::vector<std::string> args, tuvod_error_t **errors) {
    argv_holder argv(std::move(args), script->script_path);
    run_result r;
    char *out = nullptr, *err = nullptr;
    size_t out_len = 0, err_len = 0;
    r.state =
        execute_command(script, argv.get(), &out, &out_len, &err, &err_len, &r.exit_status, errors);
    r.out_set = out != nullptr;
    if (out != nullptr) {
        EXPECT_EQ(out[out_len], '\0');
        r.out.assign(out, out_len);
    }
    if (err != nullptr)
        r.err.assign(err, err_len);
    free(out);
    free(err);
    return r;
}

// The entries whose text starts with prefix, oldest first.
std::vector<tuvod_error_t *> entries(tuvod_error_t *errors, const std::string &prefix) {
    std::vector<tuvod_error_t *> found;
    for (tuvod_error_t *e = errors; e != nullptr; e = e->next)
        if (std::string(e->error_string).rfind(prefix, 0) == 0)
            found.insert(found.begin(), e);
    return found;
}

pid_t read_pid(const std::string &file) {
    std::ifstream in(file);
    pid_t pid = -1;
    in >> pid;
    return pid;
}

int open_fd_count() {
    return static_cast<int>(dir_names("/proc/self/fd").size());
}

class ExecuteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_EQ(procgroup_backend(), PROCGROUP_CGROUP);
        subtree = procgroup_subtree_path();
    }
    std::string subtree;
    sandbox_dir sandbox;
};

TEST_F(ExecuteTest, ExitStatesFollowHowTheChildEnded) {
    auto script = make_script(10, {{SIGKILL, 5}});
    {
        error_stack errors;
        run_result r = run(script.get(), {"out", "x", "exit", "3"}, errors.ptr());
        EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE);
        EXPECT_EQ(r.exit_status, 3);
        EXPECT_EQ(r.out, "x");
        EXPECT_EQ(errors.head(), nullptr);
    }
    {
        error_stack errors;
        run_result r = run(script.get(), {"die", "KILL"}, errors.ptr());
        EXPECT_EQ(r.state, TUVOD_EXEC_DIED);
        ASSERT_EQ(entries(errors.head(), "helper pid ").size(), 1u);
        EXPECT_NE(std::string(errors.head()->error_string).find("exited due to signal 9"),
                  std::string::npos);
        EXPECT_EQ(errors.head()->error_code, TUVOD_EIO);
    }
    {
        // Closing its output early does not end the wait for its exit.
        error_stack errors;
        run_result r = run(script.get(), {"closeout", "sleep", "0.3", "exit", "4"}, errors.ptr());
        EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE);
        EXPECT_EQ(r.exit_status, 4);
    }
    {
        // The file is checked again right before the fork: one that is gone
        // is refused without starting anything.
        auto missing = make_script(10, {{SIGKILL, 5}}, false, sandbox.file("gone"));
        error_stack errors;
        run_result r = run(missing.get(), {}, errors.ptr());
        EXPECT_EQ(r.state, TUVOD_EXEC_SCRIPT_INVALID);
        EXPECT_FALSE(r.out_set);
        ASSERT_NE(errors.head(), nullptr);
        EXPECT_EQ(errors.head()->error_code, TUVOD_EIO);
    }
}

// Between the check and the exec the file may change; the child starts
// only what was checked. A binary runs from the checked descriptor; a "#!"
// script, opened again by name by its interpreter, is refused when the
// name no longer leads to the checked file.
TEST_F(ExecuteTest, OnlyTheCheckedFileIsStarted) {
    auto copy = [&](const char *from, const std::string &to, const std::string &text) {
        std::ifstream in(from, std::ios::binary);
        std::ofstream out(to, std::ios::binary);
        if (text.empty())
            out << in.rdbuf();
        else
            out << text;
        out.close();
        ASSERT_EQ(chmod(to.c_str(), 0755), 0);
    };
    auto run_checked = [](tuvod_script_t *script, checked_script_t *checked, std::string *out,
                          tuvod_error_t **errors) {
        argv_holder argv({"checked"}, script->script_path);
        exec_stream_t o, e;
        int status = -1;
        tuvod_exec_state_t state =
            execute_checked_command(script, checked, argv.get(), 0, &o, &e, &status, errors);
        out->assign(o.data != nullptr ? o.data : "");
        free(o.data);
        free(e.data);
        return state;
    };

    std::string bin = sandbox.file("prog");
    copy("/bin/echo", bin, "");
    auto prog = make_script(10, {{SIGKILL, 5}}, false, bin);
    checked_script_t checked;
    error_stack errors;
    ASSERT_EQ(check_script_file(prog.get(), &checked, errors.ptr()), 0);
    EXPECT_FALSE(checked.interpreted);
    copy("", sandbox.file("new"), "#!/bin/sh\necho swapped\n");
    ASSERT_EQ(rename(sandbox.file("new").c_str(), bin.c_str()), 0);
    std::string out;
    EXPECT_EQ(run_checked(prog.get(), &checked, &out, errors.ptr()), TUVOD_EXEC_COMPLETE);
    EXPECT_EQ(out, "checked\n");

    std::string sh = sandbox.file("script");
    copy("", sh, "#!/bin/sh\necho \"$0\" \"$1\"\n");
    auto script = make_script(10, {{SIGKILL, 5}}, false, sh);
    checked_script_t checked_sh;
    ASSERT_EQ(check_script_file(script.get(), &checked_sh, errors.ptr()), 0);
    EXPECT_TRUE(checked_sh.interpreted);
    EXPECT_EQ(run_checked(script.get(), &checked_sh, &out, errors.ptr()), TUVOD_EXEC_COMPLETE);
    EXPECT_EQ(out, sh + " checked\n"); // $0 is the configured path

    copy("", sandbox.file("new"), "#!/bin/sh\necho swapped\n");
    ASSERT_EQ(rename(sandbox.file("new").c_str(), sh.c_str()), 0);
    EXPECT_EQ(run_checked(script.get(), &checked_sh, &out, errors.ptr()), TUVOD_EXEC_SCRIPT_INVALID);
    EXPECT_EQ(out, "");
    ASSERT_NE(errors.head(), nullptr);
    EXPECT_EQ(std::string(errors.head()->error_string),
              "'" + sh + "' for 'helper' changed after it was checked; not run");
    EXPECT_EQ(errors.head()->error_code, TUVOD_EINVAL);

    // Rewritten in place: same inode, new size and times.
    ASSERT_EQ(check_script_file(script.get(), &checked_sh, errors.ptr()), 0);
    std::ofstream(sh, std::ios::app) << "echo more\n";
    EXPECT_EQ(run_checked(script.get(), &checked_sh, &out, errors.ptr()), TUVOD_EXEC_SCRIPT_INVALID);
    EXPECT_EQ(out, "");
}

TEST_F(ExecuteTest, NonBlockingScriptReportsFirstChildAndItsOutputIsCollected) {
    auto script = make_script(10, {{SIGKILL, 5}}, true);
    error_stack errors;
    run_result r = run(script.get(), {"sleep", "0.2", "out", "late", "exit", "7"}, errors.ptr());
    EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "late");
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(ExecuteTest, TreeIgnoringTermIsKilledByEscalationWithDiagnostics) {
    auto script = make_script(1, {{SIGQUIT, 1}, {SIGTERM, 1}, {SIGKILL, 5}});
    std::string pidfile = sandbox.file("pids");
    error_stack errors;
    run_result r =
        run(script.get(), {"ignore", "spawn", "pidfile", pidfile, "sleep", "600"}, errors.ptr());
    EXPECT_EQ(r.state, TUVOD_EXEC_TIMEDOUT);
    pid_t shell = read_pid(pidfile);
    ASSERT_GT(shell, 0);

    auto timeouts = entries(errors.head(), "Script helper (CTID ");
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_NE(std::string(timeouts[0]->error_string).find("failed to terminate normally after 1s"),
              std::string::npos);
    EXPECT_EQ(timeouts[0]->error_code, TUVOD_ETIMEDOUT);
    json_t *snapshot = timeouts[0]->error_data_js;
    ASSERT_TRUE(json_is_object(snapshot));
    EXPECT_TRUE(json_is_object(json_object_get(snapshot, "systemLoad")));
    EXPECT_TRUE(json_is_array(json_object_get(snapshot, "messages")));
    json_t *procs = json_object_get(snapshot, "processState");
    ASSERT_TRUE(json_is_object(procs));
    EXPECT_TRUE(json_is_object(json_object_get(procs, std::to_string(shell).c_str())));

    auto steps = entries(errors.head(), "Sending signal ");
    ASSERT_EQ(steps.size(), 3u);
    const char *sent[] = {"Sending signal 3 ", "Sending signal 15 ", "Sending signal 9 "};
    for (size_t i = 0; i < steps.size(); ++i) {
        std::string text = steps[i]->error_string;
        EXPECT_EQ(text.rfind(sent[i], 0), 0u) << text;
        EXPECT_NE(text.find("    PID " + std::to_string(shell) + " : run_helper.sh ["),
                  std::string::npos)
            << text;
        EXPECT_EQ(steps[i]->error_code, TUVOD_ETIMEDOUT);
        json_t *members = steps[i]->error_data_js;
        ASSERT_TRUE(json_is_object(members));
        EXPECT_EQ(json_object_size(members), 3u); // the shell and its two sleeping children
        json_t *shell_js = json_object_get(members, std::to_string(shell).c_str());
        ASSERT_TRUE(json_is_object(shell_js));
        EXPECT_STREQ(json_string_value(json_object_get(shell_js, "name")), "run_helper.sh");
    }
    EXPECT_FALSE(pid_alive(shell));
    EXPECT_EQ(zombie_children(), 0);
    EXPECT_TRUE(subdir_names(subtree).empty());
}

TEST_F(ExecuteTest, SignalZeroStepsEndAsWontDieAndTheGroupGoesOnceKilled) {
    auto script = make_script(1, {{0, 1}});
    std::string pidfile = sandbox.file("pids");
    size_t abandoned_before = procgroup_abandoned_count();
    error_stack errors;
    run_result r = run(script.get(), {"pidfile", pidfile, "sleep", "600"}, errors.ptr());
    EXPECT_EQ(r.state, TUVOD_EXEC_WONTDIE);
    EXPECT_EQ(entries(errors.head(), "No signal to send to the following members of CTID ").size(),
              1u);
    auto last = entries(errors.head(), "Unable to terminate the following contract members");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0]->error_code, TUVOD_EIO);
    pid_t shell = read_pid(pidfile);
    ASSERT_TRUE(pid_alive(shell));
    ASSERT_EQ(procgroup_abandoned_count(), abandoned_before + 1);

    std::vector<std::string> groups = subdir_names(subtree);
    ASSERT_EQ(groups.size(), 1u);
    std::ofstream(subtree + "/" + groups[0] + "/cgroup.kill") << "1";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (procgroup_abandoned_count() > abandoned_before &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        procgroup_reap_abandoned();
    }
    EXPECT_EQ(procgroup_abandoned_count(), abandoned_before);
    EXPECT_TRUE(subdir_names(subtree).empty());
    EXPECT_EQ(zombie_children(), 0);
}

// Runs fn on a thread that blocks the signals daemon threads block.
template <typename Fn> void on_blocking_thread(Fn fn) {
    std::thread t([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigaddset(&set, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        fn();
    });
    t.join();
}

TEST_F(ExecuteTest, ScriptStartsWithNoSignalBlockedOrIgnored) {
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    auto script = make_script(10, {{SIGKILL, 5}});
    run_result r;
    on_blocking_thread([&] {
        error_stack errors;
        r = run(script.get(), {"status"}, errors.ptr());
    });
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE);
    EXPECT_NE(r.out.find("SigBlk:\t0000000000000000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SigIgn:\t0000000000000000\n"), std::string::npos) << r.out;
}

TEST_F(ExecuteTest, ScriptTrappingTermEndsAtTheTermStep) {
    auto script = make_script(1, {{SIGTERM, 5}, {SIGKILL, 5}});
    run_result r;
    error_stack errors;
    on_blocking_thread([&] {
        r = run(script.get(), {"trapterm", "0", "sleep", "600"}, errors.ptr());
    });
    EXPECT_EQ(r.state, TUVOD_EXEC_TIMEDOUT);
    auto steps = entries(errors.head(), "Sending signal ");
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(std::string(steps[0]->error_string).rfind("Sending signal 15 ", 0), 0u);
    EXPECT_EQ(zombie_children(), 0);
}

// Time-outs and step waits past what an int of milliseconds holds must wait
// as configured, not wrap into an instant (or negative) wait.
TEST_F(ExecuteTest, TimeOutsBeyondThirtyTwoBitMillisecondsBehaveAsConfigured) {
    EXPECT_EQ(ms_from_seconds(3000000), 3000000000LL);
    EXPECT_EQ(ms_from_seconds(INT64_MAX / 10), INT64_MAX);
    EXPECT_EQ(poll_timeout_ms(3000000000LL), INT_MAX);
    EXPECT_EQ(poll_timeout_ms(-1), 0);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_GT(timeout_remaining(ms_from_seconds(2147484), &start), int64_t{INT_MAX});

    // A time-out of 2,147,484 s: the run simply completes.
    auto long_timeout = make_script(2147484, {{SIGKILL, 5}});
    error_stack errors;
    run_result r = run(long_timeout.get(), {"sleep", "0.2", "out", "done", "exit", "4"}, errors.ptr());
    EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE);
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(r.out, "done");

    // A kill step waiting 3,000,000 s waits for the group to empty after
    // its signal, so the run ends TIMEDOUT at that step rather than WONTDIE.
    auto long_step = make_script(1, {{SIGTERM, 3000000}});
    error_stack step_errors;
    r = run(long_step.get(), {"sleep", "600"}, step_errors.ptr());
    EXPECT_EQ(r.state, TUVOD_EXEC_TIMEDOUT);
    EXPECT_EQ(entries(step_errors.head(), "Unable to terminate").size(), 0u);
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(ExecuteTest, OutputOfAnySizeArrivesIntact) {
    auto script = make_script(30, {{SIGKILL, 5}});
    for (size_t size : {size_t{0}, size_t{4095}, size_t{4096}, size_t{5} << 20}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
        std::string file = sandbox.file("data");
        std::ofstream(file, std::ios::binary)
            .write(data.data(), static_cast<std::streamsize>(size));
        error_stack errors;
        run_result r = run(script.get(), {"cat", file, "err", "done"}, errors.ptr());
        EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE) << size;
        EXPECT_TRUE(r.out_set);
        EXPECT_EQ(r.out.size(), size);
        EXPECT_TRUE(r.out == data) << "output of " << size << " bytes differs";
        EXPECT_EQ(r.err, "done");
    }
}

TEST_F(ExecuteTest, OutputIsCollectedUpToTheTimeOut) {
    auto script = make_script(1, {{SIGKILL, 5}});
    error_stack errors;
    run_result r =
        run(script.get(), {"out", "partial", "err", "note", "sleep", "600"}, errors.ptr());
    EXPECT_EQ(r.state, TUVOD_EXEC_TIMEDOUT);
    EXPECT_EQ(r.out, "partial");
    EXPECT_EQ(r.err, "note");
}

TEST_F(ExecuteTest, ManyCommandsLeaveNoZombieDescriptorOrGroupBehind) {
    auto plain = make_script(10, {{SIGKILL, 5}});
    auto nonblock = make_script(10, {{SIGKILL, 5}}, true);
    int fds_before = open_fd_count();
    for (int i = 0; i < 200; ++i) {
        tuvod_script_t *script = i % 10 == 0 ? nonblock.get() : plain.get();
        error_stack errors;
        run_result r =
            run(script, {"out", std::to_string(i), "exit", std::to_string(i % 5)}, errors.ptr());
        ASSERT_EQ(r.state, TUVOD_EXEC_COMPLETE) << i;
        ASSERT_EQ(r.exit_status, script == plain.get() ? i % 5 : 0) << i;
        ASSERT_EQ(r.out, std::to_string(i));
    }
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(zombie_children(), 0);
    EXPECT_TRUE(subdir_names(subtree).empty());
}

TEST_F(ExecuteTest, ConcurrentThreadsEachSeeTheirOwnContract) {
    auto script = make_script(10, {{SIGKILL, 5}});
    auto worker = [&](const std::string &tag, std::vector<std::string> *groups) {
        for (int i = 0; i < 15; ++i) {
            error_stack errors;
            run_result r = run(script.get(), {"out", tag, "cgroup", "sleep", "0.05"}, errors.ptr());
            EXPECT_EQ(r.state, TUVOD_EXEC_COMPLETE);
            EXPECT_EQ(r.out.rfind(tag, 0), 0u);
            // The group named in the output is the one this thread calls latest.
            std::string expected = "/" + std::to_string(latest_ctid(errors.ptr())) + "\n";
            EXPECT_TRUE(r.out.size() > expected.size() &&
                        r.out.compare(r.out.size() - expected.size(), expected.size(), expected) ==
                            0)
                << r.out << " vs " << expected;
            groups->push_back(r.out.substr(tag.size()));
        }
    };
    std::vector<std::string> a, b;
    std::thread ta(worker, "A", &a), tb(worker, "B", &b);
    ta.join();
    tb.join();
    for (const std::string &g : a)
        EXPECT_EQ(std::find(b.begin(), b.end(), g), b.end()) << g;
    EXPECT_TRUE(subdir_names(subtree).empty());
}

} // namespace
