// Contracts driven directly: the waits at their edges, the escalation and
// the member listing.
#include "contract.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "error.hpp"
#include "execute_test_helpers.hpp"
#include "procgroup.hpp"

using namespace exec_test;

namespace {

class ContractTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_EQ(procgroup_backend(), PROCGROUP_CGROUP);
    }

    // Starts a child in a new contract: it runs path, or exits at once.
    pid_t start(const char *path = nullptr, const char *arg = nullptr) {
        tmpl_fd = activate_contract(script.get(), errors.ptr());
        EXPECT_GE(tmpl_fd, 0);
        pid_t pid = contract_fork();
        if (pid == 0) {
            if (path != nullptr)
                execl(path, path, arg, static_cast<char *>(nullptr));
            _exit(0);
        }
        EXPECT_GT(pid, 0);
        ctid = latest_ctid(errors.ptr());
        EXPECT_GT(ctid, 0);
        if (path == nullptr)
            wait_for_exit(pid);
        return pid;
    }

    // Waits (bounded) until the child is a zombie, without reaping it.
    static void wait_for_exit(pid_t pid) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pid_alive(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_FALSE(pid_alive(pid));
    }

    // Waits (bounded) until the child has left the shell that forked it.
    static void wait_for_exec(pid_t pid, const char *name) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string comm;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> comm;
            if (comm == name)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        FAIL() << "child did not exec " << name;
    }

    tuvod_script_ref script = make_script(1, {{SIGTERM, 5}});
    error_stack errors;
    int tmpl_fd = -1;
    ctid_t ctid = -1;
    int exit_status = -1;
};

TEST_F(ContractTest, NoTimeLeftEscalatesAtOnceAndStillReapsTheChild) {
    pid_t pid = start();
    tuvod_exec_state_t state =
        wait_for_contract(script.get(), ctid, pid, 0, &exit_status, errors.ptr());
    EXPECT_EQ(state, TUVOD_EXEC_TIMEDOUT);
    EXPECT_EQ(exit_status, -1);
    tuvod_error_t *step = errors.head();
    ASSERT_NE(step, nullptr);
    std::string id = std::to_string(ctid);
    EXPECT_EQ(std::string(step->error_string),
              "Sending signal 15 to the following members of CTID " + id + ":\n");
    ASSERT_NE(step->next, nullptr);
    EXPECT_EQ(std::string(step->next->error_string),
              "Script helper (CTID " + id + ") failed to terminate normally after 1s");
    EXPECT_EQ(step->next->error_code, TUVOD_ETIMEDOUT);
    EXPECT_EQ(zombie_children(), 0);
    EXPECT_EQ(end_contract(tmpl_fd, errors.ptr()), 0);
}

TEST_F(ContractTest, EmptyKillListEndsAsWontDieRightAfterTheTimeOut) {
    script = make_script(1, {});
    pid_t pid = start();
    EXPECT_EQ(wait_for_contract(script.get(), ctid, pid, 0, &exit_status, errors.ptr()),
              TUVOD_EXEC_WONTDIE);
    tuvod_error_t *last = errors.head();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(std::string(last->error_string),
              "Unable to terminate the following contract members of CTID " + std::to_string(ctid) +
                  ":\n");
    EXPECT_EQ(last->error_code, TUVOD_EIO);
    ASSERT_NE(last->next, nullptr);
    EXPECT_EQ(last->next->error_code, TUVOD_ETIMEDOUT);
    EXPECT_EQ(last->next->next, nullptr);
    EXPECT_EQ(end_contract(tmpl_fd, errors.ptr()), 0);
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(ContractTest, MembersAreListedWithNameAndArguments) {
    script = make_script(1, {{SIGKILL, 5}});
    pid_t pid = start("/bin/sleep", "30");
    wait_for_exec(pid, "sleep");
    char *text = nullptr;
    json_t *stats = nullptr;
    ASSERT_EQ(contract_state(ctid, &text, &stats), 0);
    cstr_ptr text_owner(text);
    json_ptr stats_owner(stats);
    EXPECT_STREQ(text, ("    PID " + std::to_string(pid) + " : sleep [/bin/sleep 30]").c_str());
    json_t *member = json_object_get(stats, std::to_string(pid).c_str());
    ASSERT_TRUE(json_is_object(member));
    EXPECT_STREQ(json_string_value(json_object_get(member, "args")), "/bin/sleep 30");
    EXPECT_EQ(json_integer_value(json_object_get(member, "activeThreads")), 1);

    EXPECT_EQ(wait_for_contract(script.get(), ctid, pid, 100, &exit_status, errors.ptr()),
              TUVOD_EXEC_TIMEDOUT);
    EXPECT_EQ(end_contract(tmpl_fd, errors.ptr()), 0);
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(ContractTest, UnknownContractIsNeverSignalledOrWaitedFor) {
    script = make_script(1, {{SIGKILL, 1}});
    EXPECT_EQ(
        wait_for_contract(script.get(), 0x7ffffff0, getpid(), 200, &exit_status, errors.ptr()),
        TUVOD_EXEC_WONTDIE);
    bool warned = false;
    for (tuvod_error_t *e = errors.head(); e != nullptr; e = e->next)
        warned |=
            std::string(e->error_string) == "Unable to get contract state for CTID 2147483632";
    EXPECT_TRUE(warned);
    // A descriptor that is not this thread's template is refused.
    int fd = dup(0);
    EXPECT_EQ(end_contract(fd, errors.ptr()), -1);
    EXPECT_STREQ(errors.head()->error_string, "Unable to clear active contract template");
}

} // namespace
