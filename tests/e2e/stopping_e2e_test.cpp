// A command being stopped: what it prints while its kill escalation runs
// (its clean-up messages) reaches the answer, the record and the execution
// log; and a command runs in a session of its own, out of reach of signals
// meant for the daemon's terminal or process group.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "harness.hpp"

namespace {

// A task of ten short steps that reports how far it got when told to stop.
const std::string clean_up_task =
    "i=0; trap 'echo \"interrupted after $i of 10 steps\" >&2; exit 143' TERM; "
    "while [ $i -lt 10 ]; do i=$((i+1)); echo \"step $i of 10 done\"; sleep 0.2 & wait $!; done";

class Stopping : public e2e::DaemonTest {
  protected:
    std::string output_member(const json_ptr &r, const char *stream) {
        const char *s = e2e::str(json_object_get(e2e::result_of(r), "output"), stream);
        return s != nullptr ? s : "";
    }
    std::string exec_log() { return e2e::read_file(sb_->log_dir + "/tuvod_exec.log"); }
    // The PID a script wrote to file once it started; 0 if it did not within 15 s.
    static pid_t wait_for_pid(const std::string &file) {
        pid_t pid = 0;
        e2e::wait_until([&] { return (pid = static_cast<pid_t>(atoi(e2e::read_file(file).c_str()))) > 0; }, 15000);
        return pid;
    }
    // Starts exe asynchronously as request id and returns the PID it wrote
    // to pid_file; 0 when the run was not accepted or did not start.
    static pid_t start_async(e2e::Client &c, const std::string &exe, const std::string &id,
                             const std::string &pid_file) {
        json_ptr r = e2e::exec(c, {exe}, true, id);
        EXPECT_EQ(e2e::state_of(r), "RUNNING") << e2e::text_of(r);
        return e2e::state_of(r) == "RUNNING" ? wait_for_pid(pid_file) : 0;
    }
};

// The fields of /proc/<pid>/stat after the name: state, ppid, pgrp,
// session, tty_nr.
struct stat_fields {
    long pgrp = -1, session = -1, tty = -1;
};
stat_fields read_stat(pid_t pid) {
    stat_fields f;
    std::string text = e2e::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return f;
    std::istringstream in(text.substr(close + 1));
    std::string state;
    long ppid = 0;
    in >> state >> ppid >> f.pgrp >> f.session >> f.tty;
    return f;
}

} // namespace

TEST_F(Stopping, WhatAScriptPrintsWhileItTimesOutIsKept) {
    std::string exe = sb_->add_script({.name = "task",
                                       .body = clean_up_task,
                                       .timeout = 1,
                                       .kill_signals = R"([{"signal": 15, "timeout": 10}])"});
    start();
    e2e::Client c;
    std::string id = e2e::new_uuid();
    json_ptr r = e2e::exec(c, {exe}, false, id);
    EXPECT_EQ(e2e::state_of(r), "TIMEDOUT") << e2e::text_of(r);
    EXPECT_NE(output_member(r, "stdout").find("step 1 of 10 done"), std::string::npos) << e2e::text_of(r);
    EXPECT_NE(output_member(r, "stderr").find("interrupted after "), std::string::npos) << e2e::text_of(r);
    EXPECT_NE(exec_log().find("interrupted after "), std::string::npos) << exec_log();
}

TEST_F(Stopping, WhatAScriptPrintsWhenCancelledIsKept) {
    std::string started = sb_->root + "/started";
    std::string exe = sb_->add_script({.name = "task",
                                       .body = "touch " + started + "; " + clean_up_task,
                                       .timeout = 60,
                                       .kill_signals = R"([{"signal": 15, "timeout": 10}])"});
    start();
    e2e::Client c;
    std::string id = e2e::new_uuid();
    ASSERT_EQ(e2e::state_of(e2e::exec(c, {exe}, true, id)), "RUNNING");
    ASSERT_TRUE(e2e::wait_until([&] { return access(started.c_str(), F_OK) == 0; }, 15000));
    json_ptr cancel = c.call("cancel", json_pack("{s:s, s:s}", "cmd", id.c_str(), "authority", "test"));
    ASSERT_EQ(e2e::first_error(cancel), "") << e2e::text_of(cancel);
    json_ptr got;
    ASSERT_TRUE(e2e::wait_until(
        [&] {
            got = c.call("get", json_pack("{s:[s,s], s:b}", "properties", "state", "output", "peek", 1), id);
            return e2e::str(e2e::result_of(got), "state") != nullptr &&
                   std::string(e2e::str(e2e::result_of(got), "state")) != "RUNNING";
        },
        30000));
    EXPECT_EQ(e2e::state_of(got), "DIED") << e2e::text_of(got);
    EXPECT_NE(output_member(got, "stderr").find("interrupted after "), std::string::npos) << e2e::text_of(got);
}

TEST_F(Stopping, AScriptLeadsASessionOfItsOwnWithNoTerminal) {
    std::string pid_file = sb_->root + "/pid";
    std::string gate = sb_->root + "/gate";
    std::string exe = sb_->add_script(
        {.name = "alone", .body = "echo $$ > " + pid_file + "; while [ ! -e " + gate + " ]; do sleep 0.05; done"});
    start();
    e2e::Client c;
    std::string id = e2e::new_uuid();
    pid_t pid = start_async(c, exe, id, pid_file);
    ASSERT_GT(pid, 0) << "the script never started";
    stat_fields script = read_stat(pid);
    stat_fields daemon = read_stat(d_->pid());
    sb_->write(gate, "");
    EXPECT_EQ(script.session, pid) << "the script does not lead its own session";
    EXPECT_EQ(script.pgrp, pid);
    EXPECT_NE(script.session, daemon.session);
    EXPECT_NE(script.pgrp, daemon.pgrp) << "a signal to the daemon's process group would reach the script";
    EXPECT_EQ(script.tty, 0) << "the script has a controlling terminal";
}

TEST_F(Stopping, ARunCanBeCancelledAfterItsRecordWasCleared) {
    std::string pid_file = sb_->root + "/pid";
    std::string exe = sb_->add_script(
        {.name = "long", .body = "echo $$ > " + pid_file + "; exec sleep 300", .timeout = 600,
         .kill_signals = R"([{"signal": 15, "timeout": 10}])"});
    start();
    e2e::Client c;
    std::string id = e2e::new_uuid();
    pid_t pid = start_async(c, exe, id, pid_file);
    ASSERT_GT(pid, 0) << "the script never started";
    json_ptr cleared = c.call("clear", json_pack("{s:b}", "force", 1), id);
    ASSERT_EQ(e2e::first_error(cleared), "") << e2e::text_of(cleared);
    json_ptr cancel = c.call("cancel", json_pack("{s:s, s:s}", "cmd", id.c_str(), "authority", "test"));
    EXPECT_EQ(e2e::first_error(cancel), "") << e2e::text_of(cancel);
    EXPECT_TRUE(e2e::wait_until([&] { return kill(pid, 0) != 0; }, 20000)) << "the run went on";
}
