// The process-group layer: /proc parsing, signalling a busy group, removing
// groups left by stopped instances, and the session fallback.
#include "procgroup.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "error.hpp"
#include "execute.hpp"
#include "execute_test_helpers.hpp"
#include "procinfo.hpp"

using namespace exec_test;

namespace {

TEST(ProcInfoTest, StatLineNameMayHoldBlanksAndParentheses) {
    const char line[] = "1234 (a b) (c)) S 1 1230 1229 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 3 0 "
                        "12345 1048576 64 18446744073709551615 1 1 0 0 0\n";
    proc_stat_t st;
    ASSERT_EQ(parse_proc_stat(line, sizeof line - 1, &st), 0);
    EXPECT_EQ(st.comm, "a b) (c)");
    EXPECT_EQ(st.state, 'S');
    EXPECT_EQ(st.ppid, 1);
    EXPECT_EQ(st.pgrp, 1230);
    EXPECT_EQ(st.session, 1229);
    EXPECT_EQ(st.utime, 250u);
    EXPECT_EQ(st.stime, 50u);
    EXPECT_EQ(st.num_threads, 3);
    EXPECT_EQ(st.starttime, 12345u);
    EXPECT_EQ(st.vsize, 1048576u);
    EXPECT_EQ(st.rss, 64);

    const char cut[] = "1234 (name) S 1 2 3";
    EXPECT_EQ(parse_proc_stat(cut, sizeof cut - 1, &st), -1);
    const char open_only[] =
        "1234 (name S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22";
    EXPECT_EQ(parse_proc_stat(open_only, sizeof open_only - 1, &st), -1);
}

TEST(ProcInfoTest, CgroupMountAndMembershipLines) {
    std::string mount_point, root;
    EXPECT_EQ(parse_mountinfo_cgroup2("24 1 0:22 / / rw - ext4 /dev/sda1 rw\n"
                                      "32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
                                      &mount_point, &root),
              -1);
    ASSERT_EQ(
        parse_mountinfo_cgroup2("32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
                                "50 1 0:40 /sub /mnt/my\\040cg rw shared:5 - cgroup2 none rw\n",
                                &mount_point, &root),
        0);
    EXPECT_EQ(mount_point, "/mnt/my cg");
    EXPECT_EQ(root, "/sub");

    std::string path;
    ASSERT_EQ(parse_proc_cgroup2("4:memory:/x\n0::/system.slice/tuvod.service\n", &path), 0);
    EXPECT_EQ(path, "/system.slice/tuvod.service");
    ASSERT_EQ(parse_proc_cgroup2("0::/\n", &path), 0);
    EXPECT_EQ(path, "/");
    EXPECT_EQ(parse_proc_cgroup2("1:name=systemd:/\n", &path), -1);
}

class ProcgroupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_EQ(procgroup_backend(), PROCGROUP_CGROUP);
    }
};

template <typename Pred> bool wait_until(Pred pred, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST_F(ProcgroupTest, SignallingEmptiesAGroupThatKeepsForking) {
    std::unique_ptr<procgroup> group = procgroup::create(1999999);
    ASSERT_TRUE(group);
    pid_t pid = group->fork_into();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c",
              "i=0; while [ $i -lt 3000 ]; do sleep 5 & i=$((i+1)); done; wait",
              static_cast<char *>(nullptr));
        _exit(1);
    }
    ASSERT_GT(pid, 0);
    std::vector<pid_t> members;
    ASSERT_TRUE(
        wait_until([&] { return group->members(&members) == 0 && members.size() > 20; }, 5000));
    ASSERT_EQ(group->signal_all(SIGTERM), 0);
    // A child forked between the listing and the signal would live on for 5 s.
    EXPECT_TRUE(wait_until([&] { return group->populated() == 0; }, 3000));
    group->signal_all(SIGKILL);
    ASSERT_TRUE(wait_until([&] { return group->populated() == 0; }, 5000));
    int status = 0;
    ASSERT_EQ(group->collect_child(&status), 1);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(group->destroy(), 0);
}

TEST_F(ProcgroupTest, GroupsOfStoppedInstancesAreKilledAndRemoved) {
    std::string subtree = procgroup_subtree_path();
    std::string own = subtree.substr(0, subtree.rfind('/'));
    // No process can have this PID, so the instance is certainly gone.
    std::string stale = own + "/tuvod.2147483646";
    std::string group = stale + "/3";
    ASSERT_EQ(mkdir(stale.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(group.c_str(), 0755), 0);
    std::string procs = group + "/cgroup.procs";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(procs.c_str(), O_WRONLY);
        if (fd < 0 || write(fd, "0", 1) != 1)
            _exit(1);
        close(fd);
        execl("/bin/sleep", "sleep", "600", static_cast<char *>(nullptr));
        _exit(1);
    }
    ASSERT_GT(pid, 0);
    std::string text;
    EXPECT_TRUE(wait_until(
        [&] { return read_small_file(procs.c_str(), &text) == 0 && !text.empty(); }, 5000));

    EXPECT_GE(procgroup_cleanup_stale(), 1);
    struct stat sb;
    EXPECT_NE(stat(stale.c_str(), &sb), 0);
    EXPECT_EQ(stat(subtree.c_str(), &sb), 0); // our own subtree stays
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    rmdir(group.c_str());
    rmdir(stale.c_str());
}

// Runs in a forked child as nobody; the exit code names the failing check.
int run_commands_as_nobody() {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
        return 10;
    if (procgroup_init() != PROCGROUP_SESSION)
        return 11;
    auto run = [](tuvod_script_t *script, std::vector<std::string> args, int *exit_status,
                  std::string *out) {
        argv_holder argv(std::move(args));
        error_stack errors;
        char *o = nullptr, *e = nullptr;
        tuvod_exec_state_t state =
            execute_command(script, argv.get(), &o, &e, exit_status, errors.ptr());
        if (o != nullptr)
            *out = o;
        free(o);
        free(e);
        return state;
    };
    int exit_status = -1;
    std::string out;
    auto plain = make_script(10, {{SIGKILL, 5}});
    if (run(plain.get(), {"out", "hi", "exit", "3"}, &exit_status, &out) != TUVOD_EXEC_COMPLETE ||
        exit_status != 3 || out != "hi")
        return 12;
    auto nonblock = make_script(10, {{SIGKILL, 5}}, true);
    if (run(nonblock.get(), {"sleep", "0.2", "out", "late", "exit", "7"}, &exit_status, &out) !=
            TUVOD_EXEC_COMPLETE ||
        exit_status != 0 || out != "late")
        return 13;
    // The background child ignores SIGTERM as well; SIGKILL to the session ends both.
    auto stubborn = make_script(1, {{SIGTERM, 1}, {SIGKILL, 5}});
    if (run(stubborn.get(), {"ignore", "spawn", "sleep", "600"}, &exit_status, &out) !=
        TUVOD_EXEC_TIMEDOUT)
        return 14;
    // A member in a process group of its own is still signalled.
    auto term = make_script(1, {{SIGTERM, 5}});
    if (run(term.get(), {"spawnpgrp", "sleep", "600"}, &exit_status, &out) != TUVOD_EXEC_TIMEDOUT)
        return 16;
    if (procgroup_abandoned_count() != 0 || zombie_children() != 0)
        return 15;
    return 0;
}

TEST(ProcgroupFallbackTest, SessionContractsServeAnUnprivilegedUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop privileges";
    pid_t pid = fork();
    if (pid == 0)
        _exit(run_commands_as_nobody());
    ASSERT_GT(pid, 0);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(pidfd, 0);
    struct pollfd pfd = {pidfd, POLLIN, 0};
    bool ended = poll(&pfd, 1, 60000) == 1;
    close(pidfd);
    if (!ended)
        kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 backend, 12 exit code, 13 non-blocking, "
                                         "14 escalation, 15 leftovers, 16 own process group";
}

} // namespace
