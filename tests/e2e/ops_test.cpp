// The operations through the real socket: execute (sync and async), list,
// get and clear.
#include <signal.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::ScriptSpec;
using e2e::errors_of;
using e2e::exec;
using e2e::first_code;
using e2e::first_error;
using e2e::result_of;
using e2e::state_of;
using e2e::str;
using e2e::text_of;

class Ops : public e2e::DaemonTest {
  protected:
    json_ptr get(Client &c, const std::string &uuid, std::vector<std::string> props, bool peek = false) {
        json_t *p = json_array();
        for (const auto &s : props)
            json_array_append_new(p, json_string(s.c_str()));
        return c.call("get", json_pack("{s:o, s:b}", "properties", p, "peek", peek), uuid);
    }

    // Waits until an asynchronous command is no longer running; its final state.
    std::string wait_finished(Client &c, const std::string &uuid, int timeout_ms = 20000) {
        std::string state;
        e2e::wait_until(
            [&] {
                auto r = get(c, uuid, {"state"}, true);
                const char *s = str(result_of(r), "state");
                state = s != nullptr ? s : "";
                return !state.empty() && state != "RUNNING";
            },
            timeout_ms);
        return state;
    }

    // A script whose runs mark their start and end in trace_ and hold at
    // gate_ between the two until the test opens it.
    std::string add_marking_script(const std::string &name, bool concurrent) {
        trace_ = sb_->root + "/trace";
        gate_ = sb_->root + "/gate";
        return sb_->add_script({.name = name,
                                .body = "echo start >> " + trace_ + "; while [ ! -e " + gate_ +
                                        " ]; do sleep 0.05; done; echo end >> " + trace_,
                                .timeout = 60,
                                .concurrent = concurrent});
    }

    // Two synchronous runs sent at once; the gate opens once ready() holds
    // (or a bounded wait ends) and the trace of both is returned.
    std::string run_two(const std::string &exe, const std::function<bool()> &ready) {
        auto run = [&] {
            Client c("tcp://127.0.0.1:5557", 60000);
            exec(c, {exe});
        };
        std::thread a(run), b(run);
        EXPECT_TRUE(e2e::wait_until(ready, 20000)) << d_->log();
        sb_->write(gate_, "");
        a.join();
        b.join();
        return e2e::read_file(trace_);
    }

    std::string trace_, gate_;
};

TEST_F(Ops, SynchronousCompleteCarriesOutputAndMaskedArgs) {
    ScriptSpec s{.name = "hello", .body = "echo out:$1; echo err:$# >&2; exit 2"};
    s.redact = {2};
    std::string exe = sb_->add_script(s);
    start();
    Client c;
    auto r = exec(c, {exe, "one", "secret"});
    ASSERT_TRUE(r);
    json_t *res = result_of(r);
    EXPECT_STREQ(str(res, "state"), "COMPLETE");
    EXPECT_STREQ(str(res, "name"), "hello");
    json_t *out = json_object_get(res, "output");
    EXPECT_EQ(json_integer_value(json_object_get(out, "exitStatus")), 2);
    EXPECT_STREQ(str(out, "stdout"), "out:one\n");
    EXPECT_STREQ(str(out, "stderr"), "err:2\n");
    json_t *args = json_object_get(res, "args");
    EXPECT_STREQ(json_string_value(json_array_get(args, 1)), "one");
    EXPECT_STREQ(json_string_value(json_array_get(args, 2)), "********");
    EXPECT_EQ(json_array_size(errors_of(r)), 0u);

    // The record is gone once the answer is built, and the execution log has it, masked.
    auto g = get(c, str(r.get(), "requestUUID"), {"state"});
    EXPECT_EQ(first_error(g), std::string("Unable to get ") + str(r.get(), "requestUUID"));
    std::string exec_log = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");
    EXPECT_NE(exec_log.find("\"********\""), std::string::npos) << exec_log;
    EXPECT_EQ(exec_log.find("secret"), std::string::npos);
    EXPECT_NE(exec_log.find(str(r.get(), "requestUUID")), std::string::npos);
}

TEST_F(Ops, MalformedExecuteRequestsAreRejected) {
    std::string exe = sb_->add_script({.name = "true", .body = "exit 0"});
    start();
    Client c;
    struct {
        json_t *args;
        const char *authority_override;
        const char *message;
    } cases[] = {
        {json_pack("{s:[s]}", "argv", exe.c_str()), nullptr,
         "Malformed request: 'asynchronous' should be boolean"},
        {json_pack("{s:[s], s:i}", "argv", exe.c_str(), "asynchronous", 1), nullptr,
         "Malformed request: 'asynchronous' should be boolean"},
        {json_pack("{s:s, s:b}", "argv", exe.c_str(), "asynchronous", 0), nullptr,
         "Malformed request: 'argv' should be an array"},
        {json_pack("{s:[s, i], s:b}", "argv", exe.c_str(), 5, "asynchronous", 0), nullptr,
         "Malformed request: 'args[1]' should be a string"},
        {json_pack("{s:[], s:b}", "argv", "asynchronous", 0), nullptr,
         "Malformed request, no command in argv"},
    };
    for (auto &tc : cases) {
        auto r = c.call("execute", tc.args);
        ASSERT_TRUE(r);
        EXPECT_EQ(first_error(r), tc.message);
        EXPECT_EQ(first_code(r), 22);
        EXPECT_STREQ(str(result_of(r), "state"), "FAILED");
    }
    // An authority that is not a string.
    json_ptr req(json_pack("{s:s, s:i, s:s, s:o}", "requestUUID", e2e::new_uuid().c_str(),
                           "authority", 7, "op", "execute", "args",
                           e2e::exec_args({exe}, false).release()));
    // The envelope itself requires a string authority, so this is refused there.
    auto r = c.request(req.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(first_code(r), 22);
}

TEST_F(Ops, UnknownCommandAuthorityAndDigest) {
    std::string exe = sb_->add_script({.name = "ok", .body = "exit 0", .authority = "Admin"});
    ScriptSpec bad{.name = "tampered", .body = "exit 0"};
    std::string tampered = sb_->add_script(bad);
    start();
    // Changing the content after configuration breaks the digest.
    sb_->write(tampered, "#!/bin/sh\nexit 1\n", 0755);
    Client c;

    auto r = exec(c, {"/no/such/script"}, false, "", "Admin");
    EXPECT_STREQ(str(result_of(r), "state"), "INVALID_CMD");
    EXPECT_EQ(first_error(r), "Invalid command '/no/such/script'");

    r = exec(c, {exe}, false, "refused-1", "admin");
    EXPECT_STREQ(str(result_of(r), "state"), "FAILED");
    EXPECT_EQ(first_code(r), 1);
    EXPECT_EQ(first_error(r), "No authority to run script '" + exe + "'");
    // The log names who was refused and for which request.
    EXPECT_TRUE(d_->wait_for_log("Refused execute for local:uid=0 (request \"refused-1\"): No authority to run script '" +
                                 exe + "'"))
        << d_->log();

    r = exec(c, {tampered});
    EXPECT_STREQ(str(result_of(r), "state"), "INVALID_SCRIPT");
    EXPECT_EQ(first_code(r), 22);
    EXPECT_EQ(first_error(r), "Script digest mismatch for '" + tampered + "'");
}

TEST_F(Ops, AsynchronousRunThenGetRetiresTheRecord) {
    std::string gate = sb_->root + "/gate";
    std::string exe = sb_->add_script(
        {.name = "slow", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done; echo done; exit 4"});
    start();
    Client c;
    std::string id = e2e::new_uuid();
    auto r = exec(c, {exe}, true, id);
    EXPECT_STREQ(str(result_of(r), "state"), "RUNNING");

    // A repeat while it runs runs nothing and says nothing.
    auto again = exec(c, {exe}, true, id);
    EXPECT_STREQ(str(result_of(again), "state"), "FAILED");
    EXPECT_EQ(json_array_size(errors_of(again)), 0u);

    // A running command survives clear without force and any get.
    auto clr = c.call("clear", json_object(), id);
    EXPECT_EQ(first_error(clr), "Unable to delete " + id);
    auto running = get(c, id, {"state", "output", "finish"});
    EXPECT_STREQ(str(result_of(running), "state"), "RUNNING");
    EXPECT_TRUE(json_is_null(json_object_get(result_of(running), "finish")));

    sb_->write(gate, "");
    EXPECT_EQ(wait_finished(c, id), "COMPLETE");

    // Repeats are refused as long as the record exists.
    again = exec(c, {exe}, true, id);
    EXPECT_STREQ(str(result_of(again), "state"), "FAILED");

    auto bad = get(c, id, {"state", "bogus"});
    EXPECT_EQ(first_error(bad), "Invalid properties 'bogus' supplied");
    auto peek = get(c, id, {"name"}, true);
    EXPECT_STREQ(str(result_of(peek), "name"), "slow");

    auto done = get(c, id, {"state", "output"});
    EXPECT_STREQ(str(result_of(done), "state"), "COMPLETE");
    json_t *out = json_object_get(result_of(done), "output");
    EXPECT_EQ(json_integer_value(json_object_get(out, "exitStatus")), 4);
    EXPECT_STREQ(str(out, "stdout"), "done\n");
    auto gone = get(c, id, {"state"});
    EXPECT_EQ(first_error(gone), "Unable to get " + id);
}

TEST_F(Ops, EmptyPropertiesStillRetireAndClearForce) {
    std::string gate = sb_->root + "/gate";
    std::string quick = sb_->add_script({.name = "quick", .body = "exit 0"});
    std::string slow = sb_->add_script(
        {.name = "slow", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done"});
    start();
    Client c;
    std::string q = e2e::new_uuid(), s = e2e::new_uuid();
    exec(c, {quick}, true, q);
    exec(c, {slow}, true, s);
    EXPECT_EQ(wait_finished(c, q), "COMPLETE");

    // list: everything, not running, and by name.
    auto all = c.call("list", json_object());
    EXPECT_EQ(json_object_size(result_of(all)), 2u);
    auto not_running = c.call("list", json_pack("{s:s}", "state", "!RUNNING"));
    EXPECT_EQ(json_object_size(result_of(not_running)), 1u);
    EXPECT_STREQ(str(result_of(not_running), q.c_str()), "COMPLETE");
    auto by_name = c.call("list", json_pack("{s:s}", "cmd", "sl%"));
    EXPECT_EQ(json_object_size(result_of(by_name)), 1u);
    EXPECT_STREQ(str(result_of(by_name), s.c_str()), "RUNNING");

    auto empty = get(c, q, {});
    EXPECT_EQ(json_array_size(errors_of(empty)), 0u);
    EXPECT_EQ(first_error(get(c, q, {"state"})), "Unable to get " + q);

    auto forced = c.call("clear", json_pack("{s:b}", "force", 1), s);
    EXPECT_EQ(json_array_size(errors_of(forced)), 0u);
    auto unknown = c.call("clear", json_object(), "no-such-id");
    EXPECT_EQ(first_error(unknown), "Unable to delete no-such-id");
    sb_->write(gate, "");
}

TEST_F(Ops, SameRequestIdAtOnceRunsOnce) {
    // The run holds at the gate, so the other request surely arrives while it goes on.
    std::string counter = sb_->root + "/runs", gate = sb_->root + "/gate";
    std::string exe = sb_->add_script(
        {.name = "count",
         .body = "echo x >> " + counter + "; while [ ! -e " + gate + " ]; do sleep 0.05; done",
         .timeout = 60});
    start();
    std::string id = e2e::new_uuid();
    json_ptr r1, r2;
    std::atomic<int> answered{0};
    auto send = [&](json_ptr &r) {
        Client c("tcp://127.0.0.1:5557", 60000);
        r = exec(c, {exe}, false, id);
        answered++;
    };
    std::thread t1([&] { send(r1); });
    std::thread t2([&] { send(r2); });
    // The repeat is answered at once; two runs would both wait at the gate.
    EXPECT_TRUE(e2e::wait_until([&] { return answered == 1 || e2e::read_file(counter) == "x\nx\n"; }, 20000));
    sb_->write(gate, "");
    t1.join();
    t2.join();
    EXPECT_EQ(e2e::read_file(counter), "x\n");
    int completed = 0;
    for (auto *r : {&r1, &r2})
        if (*r && std::strcmp(str(result_of(*r), "state"), "COMPLETE") == 0)
            completed++;
    EXPECT_EQ(completed, 1);
}

TEST_F(Ops, NonConcurrentScriptsSerialise) {
    std::string serial = add_marking_script("serial", false);
    // Worker debugging logs the second run waiting for its turn.
    start({"-f", "-w", "4", "-d", "Worker"});
    std::string trace = run_two(serial, [&] {
        return d_->log().find("Waiting for current serial script to finish") != std::string::npos ||
               e2e::read_file(trace_) == "start\nstart\n";
    });
    EXPECT_EQ(trace, "start\nend\nstart\nend\n");
}

TEST_F(Ops, ConcurrentScriptsOverlap) {
    std::string parallel = add_marking_script("parallel", true);
    start({"-f", "-w", "4"});
    std::string trace = run_two(parallel, [&] { return e2e::read_file(trace_) == "start\nstart\n"; });
    EXPECT_EQ(trace, "start\nstart\nend\nend\n");
}


TEST_F(Ops, TimeoutReportsOutputSoFarAndDiagnostics) {
    ScriptSpec s{.name = "stuck", .body = "echo partial; exec sleep 60", .timeout = 1};
    s.kill_signals = R"([{"signal": 15, "timeout": 2}, {"signal": 9, "timeout": 2}])";
    std::string exe = sb_->add_script(s);
    start();
    Client c("tcp://127.0.0.1:5557", 30000);
    auto r = exec(c, {exe});
    ASSERT_TRUE(r);
    json_t *res = result_of(r);
    EXPECT_STREQ(str(res, "state"), "TIMEDOUT");
    json_t *out = json_object_get(res, "output");
    EXPECT_TRUE(json_is_null(json_object_get(out, "exitStatus")));
    EXPECT_STREQ(str(out, "stdout"), "partial\n");
    json_t *cmd_errors = json_object_get(res, "errors");
    ASSERT_GE(json_array_size(cmd_errors), 2u);
    // Oldest first is the time-out itself, with the system snapshot as data.
    json_t *timeout_err = json_array_get(cmd_errors, json_array_size(cmd_errors) - 1);
    EXPECT_EQ(json_integer_value(json_object_get(timeout_err, "errorCode")), 145);
    json_t *snapshot = json_object_get(timeout_err, "errorData");
    EXPECT_TRUE(json_is_object(json_object_get(snapshot, "processState")));
    EXPECT_NE(std::string(str(timeout_err, "errorString")).find("failed to terminate normally after 1s"),
              std::string::npos);
}

TEST_F(Ops, BinaryAndNonUtf8OutputArrivesWhole) {
    std::string exe = sb_->add_script(
        {.name = "binary", .body = "printf 'caf\\351 a\\000b \\303\\251'; printf '\\377' >&2"});
    start();
    Client c;
    std::string id = e2e::new_uuid();
    auto r = exec(c, {exe}, true, id);
    EXPECT_EQ(wait_finished(c, id), "COMPLETE");
    auto done = get(c, id, {"output"});
    json_t *out = json_object_get(result_of(done), "output");
    json_t *so = json_object_get(out, "stdout");
    // Invalid bytes become U+FFFD; the NUL and what follows it are kept.
    std::string expected("caf\xEF\xBF\xBD a\0b \xC3\xA9", 13);
    EXPECT_EQ(std::string(json_string_value(so), json_string_length(so)), expected);
    EXPECT_STREQ(str(out, "stderr"), "\xEF\xBF\xBD");
}

TEST_F(Ops, RunOfARemovedScriptCompletesAfterTheReload) {
    std::string gate = sb_->root + "/gate";
    std::string exe = sb_->add_script(
        {.name = "long", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done; echo finished"});
    // A directory left without any configuration keeps the list in force, so keep one.
    sb_->add_script({.name = "other", .body = "exit 0"});
    start();
    json_ptr r;
    std::thread runner([&] {
        Client c("tcp://127.0.0.1:5557", 30000);
        r = exec(c, {exe});
    });
    // Give the run time to start, then remove its configuration and reload.
    ASSERT_TRUE(e2e::wait_until([&] {
        Client c;
        auto l = c.call("list", json_pack("{s:s}", "state", "RUNNING"));
        return json_object_size(result_of(l)) == 1;
    }, 10000));
    std::remove((sb_->scripts_dir + "/long.json").c_str());
    d_->signal(SIGHUP);
    // The reload does not wait for the run, and the run still completes normally.
    EXPECT_TRUE(d_->wait_for_log("Re-loaded script configuraton"));
    sb_->write(gate, "");
    runner.join();
    ASSERT_TRUE(r);
    EXPECT_STREQ(str(result_of(r), "state"), "COMPLETE");
    EXPECT_TRUE(d_->wait_for_log("Re-loaded script configuraton"));
    Client c;
    auto after = exec(c, {exe});
    EXPECT_STREQ(str(result_of(after), "state"), "INVALID_CMD");
}

} // namespace
