// The operator's levers against the real daemon: cancel, status figures,
// per-script limits.
#include <signal.h>
#include <sqlite3.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.hpp"
#include "utils.hpp"

namespace {

using e2e::Client;
using e2e::ScriptSpec;
using e2e::exec;

class Operator : public e2e::DaemonTest {
  protected:
    json_ptr peek(Client &c, const std::string &uuid) {
        return c.call("get", json_pack("{s:[s,s,s], s:b}", "properties", "state", "errors", "output", "peek", 1),
                      uuid);
    }
    std::string state(Client &c, const std::string &uuid) { return e2e::state_of(peek(c, uuid)); }
    json_ptr cancel(Client &c, const std::string &cmd, const std::string &authority) {
        return c.call("cancel", json_pack("{s:s, s:s}", "cmd", cmd.c_str(), "authority", authority.c_str()),
                      e2e::new_uuid(), authority);
    }
};

bool errors_mention(json_t *errors, const std::string &text) {
    return e2e::text_of(errors).find(text) != std::string::npos;
}

TEST_F(Operator, CancelEndsARunAtOnceAndRecordsWhoCancelledIt) {
    // The first kill step would give the script 30 s; a cancel still ends it at once.
    std::string flag = sb_->root + "/started";
    std::string exe = sb_->add_script({.name = "long", .body = "echo partial; touch " + flag + "; exec sleep 300",
                                       .authority = "secret", .timeout = 600,
                                       .kill_signals = R"([{"signal": 15, "timeout": 30}])"});
    start();
    Client c;
    ASSERT_EQ(e2e::state_of(c.call("execute", e2e::exec_args({exe}, true).release(), "run-1", "secret")),
              "RUNNING");
    ASSERT_TRUE(e2e::wait_until([&] { return access(flag.c_str(), F_OK) == 0; }, 10000));

    json_ptr refused = cancel(c, "run-1", "wrong");
    EXPECT_EQ(e2e::first_code(refused), 1) << e2e::text_of(refused);
    EXPECT_EQ(state(c, "run-1"), "RUNNING");

    auto t0 = std::chrono::steady_clock::now();
    json_ptr ok = c.call("cancel", json_pack("{s:s, s:s}", "cmd", "run-1", "authority", "secret"), "cancel-1",
                         "secret");
    EXPECT_EQ(json_array_size(e2e::errors_of(ok)), 0U) << e2e::text_of(ok);
    ASSERT_TRUE(e2e::wait_until([&] { return state(c, "run-1") != "RUNNING"; }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    json_ptr got = peek(c, "run-1");
    json_t *result = e2e::result_of(got);
    EXPECT_EQ(e2e::state_of(got), "DIED");
    EXPECT_TRUE(errors_mention(json_object_get(result, "errors"), "Command run-1 cancelled by request cancel-1"))
        << e2e::text_of(got);
    EXPECT_STREQ(e2e::str(json_object_get(result, "output"), "stdout"), "partial\n");
    // The kill steps carry the cancel's code, and the log its own text.
    size_t i;
    json_t *entry;
    json_array_foreach(json_object_get(result, "errors"), i, entry) {
        const char *text = e2e::str(entry, "errorString");
        if (text != nullptr && std::string(text).rfind("Sending signal", 0) == 0) {
            EXPECT_EQ(json_integer_value(json_object_get(entry, "errorCode")), 47) << text;
        }
    }
    EXPECT_NE(d_->log().find("Operation canceled : Command run-1 cancelled by request cancel-1"), std::string::npos)
        << d_->log();
    EXPECT_EQ(d_->log().find("Level 3 reset"), std::string::npos);

    // Finished and unknown commands are refused with their reason.
    json_ptr again = cancel(c, "run-1", "secret");
    EXPECT_EQ(e2e::first_error(again), "Command run-1 is not running (DIED)");
    json_ptr unknown = cancel(c, "no-such", "secret");
    EXPECT_EQ(e2e::first_error(unknown), "No command no-such to cancel");
    EXPECT_EQ(e2e::first_code(unknown), 2);
    json_ptr forged = cancel(c, "x\ny", "secret");
    EXPECT_EQ(e2e::first_code(forged), 22);
    EXPECT_EQ(d_->log().find("x\ny"), std::string::npos);
}

TEST_F(Operator, CancelOfARunWaitingForItsTurnNeverStartsIt) {
    std::string flag = sb_->root + "/go";
    std::string runs = sb_->root + "/runs";
    std::string exe = sb_->add_script({.name = "gated",
                                       .body = "echo run >> " + runs + "; while [ ! -e " + flag +
                                               " ]; do sleep 0.05; done",
                                       .timeout = 60, .concurrent = false});
    start();
    Client c;
    ASSERT_EQ(e2e::state_of(exec(c, {exe}, true, "first")), "RUNNING");
    ASSERT_TRUE(e2e::wait_until([&] { return e2e::read_file(runs) == "run\n"; }, 10000));
    ASSERT_EQ(e2e::state_of(exec(c, {exe}, true, "second")), "RUNNING");
    json_ptr ok = cancel(c, "second", "test");
    EXPECT_EQ(json_array_size(e2e::errors_of(ok)), 0U) << e2e::text_of(ok);
    EXPECT_EQ(state(c, "first"), "RUNNING");
    sb_->write(flag, "");
    ASSERT_TRUE(e2e::wait_until([&] { return state(c, "second") == "DIED"; }, 10000));
    EXPECT_EQ(state(c, "first"), "COMPLETE");
    EXPECT_TRUE(errors_mention(json_object_get(e2e::result_of(peek(c, "second")), "errors"),
                               "Command second cancelled by request"));
    EXPECT_EQ(e2e::read_file(runs), "run\n") << "the cancelled run never started";
}

TEST_F(Operator, StatusCountsAKnownMixOfRuns) {
    std::string ok = sb_->add_script({.name = "ok", .body = "exit 3"});
    std::string died = sb_->add_script({.name = "died", .body = "kill -9 $$"});
    ScriptSpec slow{.name = "slow", .body = "sleep 30", .timeout = 1};
    slow.kill_signals = R"([{"signal": 9, "timeout": 2}])";
    std::string slow_exe = sb_->add_script(slow);
    std::string tampered = sb_->add_script({.name = "tampered", .body = "exit 0"});
    sb_->write(tampered, "#!/bin/sh\necho changed\n", 0755);
    start({"-f", "-w", "3"});
    Client c;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(e2e::state_of(exec(c, {ok}, false, e2e::new_uuid())), "COMPLETE");
    EXPECT_EQ(e2e::state_of(exec(c, {died}, false, e2e::new_uuid())), "DIED");
    EXPECT_EQ(e2e::state_of(exec(c, {slow_exe}, false, e2e::new_uuid())), "TIMEDOUT");
    EXPECT_EQ(e2e::state_of(exec(c, {tampered}, false, e2e::new_uuid())), "INVALID_SCRIPT");

    json_ptr st = c.call("status", json_object());
    ASSERT_EQ(json_array_size(e2e::errors_of(st)), 0U) << e2e::text_of(st);
    json_t *r = e2e::result_of(st);
    auto num = [](json_t *o, const char *k) { return json_integer_value(json_object_get(o, k)); };
    EXPECT_STREQ(e2e::str(r, "version"), "2.0");
    EXPECT_EQ(num(json_object_get(r, "workers"), "total"), 3);
    EXPECT_EQ(num(json_object_get(r, "workers"), "busy"), 0) << "status is answered without a worker";
    EXPECT_EQ(num(json_object_get(r, "connections"), "open"), 1) << "this client's";
    EXPECT_EQ(num(r, "queuedRequests"), 0);
    EXPECT_EQ(num(r, "asyncRuns"), 0);
    EXPECT_EQ(num(r, "runningCommands"), 0);
    EXPECT_EQ(num(r, "scriptsLoaded"), 4);
    EXPECT_TRUE(json_is_null(json_object_get(json_object_get(r, "lastReload"), "result")));
    json_t *scripts = json_object_get(r, "scripts");
    json_t *s_ok = json_object_get(scripts, "ok");
    EXPECT_EQ(num(s_ok, "runs"), 3);
    EXPECT_EQ(num(s_ok, "completed"), 3);
    EXPECT_EQ(num(s_ok, "failed"), 0);
    EXPECT_EQ(num(json_object_get(scripts, "died"), "killed"), 1);
    json_t *s_slow = json_object_get(scripts, "slow");
    EXPECT_EQ(num(s_slow, "timedOut"), 1);
    EXPECT_GE(json_number_value(json_object_get(s_slow, "runSecondsMax")), 1.0);
    EXPECT_GE(json_number_value(json_object_get(s_slow, "runSecondsSum")),
              json_number_value(json_object_get(s_slow, "runSecondsMax")));
    EXPECT_EQ(json_object_get(scripts, "tampered"), nullptr) << "refused before it ran";

    d_->signal(SIGHUP);
    ASSERT_TRUE(d_->wait_for_log("Re-loaded script configuraton"));
    json_ptr after = c.call("status", json_object());
    EXPECT_STREQ(e2e::str(json_object_get(e2e::result_of(after), "lastReload"), "result"), "ok");
}

bool memory_controller_available(const std::string &cgroup) {
    return !cgroup.empty() && e2e::read_file(cgroup + "/cgroup.controllers").find("memory") != std::string::npos &&
           e2e::read_file(cgroup + "/cgroup.controllers").find("pids") != std::string::npos;
}

std::string with_limits(const std::string &conf, const std::string &limits) {
    std::string out = conf;
    out.insert(out.rfind('}'), ", \"limits\": " + limits);
    return out;
}

TEST_F(Operator, MemoryAndTaskLimitsAreEnforced) {
    if (!memory_controller_available(sb_->cgroup()))
        GTEST_SKIP() << "the memory and pids controllers are not available in this cgroup v2 tree";
    std::string hog = sb_->add_script(
        {.name = "hog", .body = "exec awk 'BEGIN { s = \"x\"; while (1) s = s s }'", .timeout = 30});
    std::string bomb = sb_->add_script(
        {.name = "bomb", .body = "for i in $(seq 1 200); do sleep 5 & done; wait; echo done", .timeout = 30});
    std::string hog_conf = sb_->scripts_dir + "/hog.json";
    std::string bomb_conf = sb_->scripts_dir + "/bomb.json";
    sb_->write(hog_conf, with_limits(e2e::read_file(hog_conf), R"({"memoryMax": 33554432})"));
    sb_->write(bomb_conf, with_limits(e2e::read_file(bomb_conf), R"({"tasksMax": 20})"));
    start();
    Client c("tcp://127.0.0.1:5557", 60000);
    json_ptr r = exec(c, {hog}, false, "hog-1");
    EXPECT_EQ(e2e::state_of(r), "DIED") << e2e::text_of(r);
    EXPECT_TRUE(errors_mention(json_object_get(e2e::result_of(r), "errors"),
                               "was killed by its memory limit of 33554432 bytes"))
        << e2e::text_of(r);

    r = exec(c, {bomb}, false, "bomb-1");
    EXPECT_EQ(e2e::state_of(r), "COMPLETE") << e2e::text_of(r);
    EXPECT_NE(e2e::text_of(r).find("fork"), std::string::npos) << "the shell reports the refused forks";
    // Nothing of either run is left.
    EXPECT_TRUE(e2e::wait_until([&] { return e2e::subdirs(sb_->cgroup()).size() <= 2; }, 10000));
}

TEST_F(Operator, LimitsThatCannotBeAppliedAreSaidOnceAndTheRunGoesOn) {
    std::string exe = sb_->add_script({.name = "limited", .body = "echo ran"});
    std::string conf = sb_->scripts_dir + "/limited.json";
    std::string plain = e2e::read_file(conf);
    sb_->write(conf, with_limits(plain, R"({"memoryMax": 1073741824, "cpuWeight": 50})"));
    sb_->write(sb_->scripts_dir + "/bad.json", with_limits(plain, R"({"memoryMax": 1024, "cpuWeight": 50})"));
    start();
    EXPECT_NE(d_->log().find("bad.json: limits: memoryMax must be at least 4096 bytes"), std::string::npos)
        << d_->log();
    if (memory_controller_available(sb_->cgroup()))
        GTEST_SKIP() << "the limits apply in this cgroup v2 tree";
    Client c;
    for (int i = 0; i < 2; i++) {
        json_ptr r = exec(c, {exe}, false, e2e::new_uuid());
        EXPECT_EQ(e2e::state_of(r), "COMPLETE") << e2e::text_of(r);
    }
    std::string log = d_->log();
    size_t first = log.find("Limits of script limited are not applied: ");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("Limits of script limited are not applied", first + 1), std::string::npos) << "said once";
}

// Rows written into the daemon's database file by a connection of the test's own.
void seed(const std::string &db_path, const std::vector<std::string> &inserts) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    for (const std::string &sql : inserts) {
        char *err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
    }
    sqlite3_close(db);
}

std::string stamp_ago(long seconds) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    tv.tv_sec -= seconds;
    cstr_ptr s(time_str(&tv));
    return s.get();
}

TEST_F(Operator, RetentionSweepRemovesOnlyOldFinalRecords) {
    std::string flag = sb_->root + "/go";
    std::string exe = sb_->add_script({.name = "waiter", .body = "while [ ! -e " + flag + " ]; do sleep 0.05; done"});
    sb_->write(sb_->config_path(), R"({"resultRetentionSeconds": 3600})", 0600);
    start();
    ASSERT_EQ(d_->stop(), 0);
    d_.reset();
    std::string old = stamp_ago(2 * 86400), recent = stamp_ago(60);
    auto insert = [](const char *id, const char *state, const std::string &start, const std::string &finish) {
        return "INSERT INTO CMDS (REQUEST_UUID, NAME, STATE, ARGS, START_TIME, RESULT, ERRORS, FINISH_TIME) VALUES ('" + std::string(id) + "', 'n', '" + state + "', '[]', '" + start +
               "', NULL, NULL, " + (finish.empty() ? "NULL" : "'" + finish + "'") + ");";
    };
    seed(sb_->cache_dir + "/tuvod.db", {insert("old-done", "COMPLETE", old, old), insert("old-lost", "LOST", old, ""),
                                        insert("left-running", "RUNNING", old, ""),
                                        insert("recent", "COMPLETE", old, recent)});
    start();
    ASSERT_TRUE(d_->wait_for_log("Removed 3 finished command records older than 3600 seconds")) << d_->log();
    Client c;
    EXPECT_EQ(state(c, "recent"), "COMPLETE");
    for (const char *gone : {"old-done", "old-lost", "left-running"})
        EXPECT_EQ(state(c, gone), "FAILED") << gone << " is gone (a get finds nothing)";
    // A running command is never swept, however old its start.
    ASSERT_EQ(e2e::state_of(exec(c, {exe}, true, "live")), "RUNNING");
    EXPECT_EQ(state(c, "live"), "RUNNING");
    sb_->write(flag, "");
}

} // namespace
