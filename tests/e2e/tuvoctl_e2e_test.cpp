// The tuvoctl binary against the real daemon: run behaves like running the
// script here, every other outcome has its own exit status, the record
// commands work end to end, and a missing daemon is reported quickly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.hpp"

extern char **environ;

namespace {

using e2e::Client;
using e2e::Daemon;
using e2e::read_file;
using e2e::Sandbox;
using e2e::ScriptSpec;

struct tool_result {
    int status = -1; // exit status; -1 when killed after the time-out
    std::string out, err;
};

// Runs tuvoctl with the arguments, collecting both streams; killed after
// timeout_ms. With interrupt_when, it gets SIGINT once that file exists.
tool_result tuvoctl(const std::vector<std::string> &args, int timeout_ms = 60000,
                    const std::string &interrupt_when = "") {
    tool_result r;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    std::vector<std::string> all = {TUVOCTL_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, TUVOCTL_BINARY, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *bufs[2] = {&r.out, &r.err};
    int open_fds = rc == 0 ? 2 : 0;
    bool interrupted = false;
    while (open_fds > 0) {
        long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()).count();
        if (!interrupt_when.empty() && !interrupted && access(interrupt_when.c_str(), F_OK) == 0) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        int wait_ms = !interrupt_when.empty() && !interrupted ? std::min(left, 50L) : left;
        int ready = left <= 0 ? 0 : poll(fds, 2, wait_ms);
        if (left <= 0 || ready < 0)
            break;
        if (ready == 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                bufs[i]->append(buf, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (rc != 0)
        return r;
    int ws = 0;
    if (open_fds > 0)
        kill(pid, SIGKILL);
    waitpid(pid, &ws, 0);
    if (open_fds == 0 && WIFEXITED(ws))
        r.status = WEXITSTATUS(ws);
    return r;
}

class Tuvoctl : public e2e::DaemonTest {};

TEST_F(Tuvoctl, RunBehavesLikeRunningTheScriptHere) {
    std::string exe = sb_->add_script(
        {.name = "mixed", .body = "printf 'out %s\\n' \"$1\"; printf 'err\\n' >&2; exit 3"});
    start();
    tool_result r = tuvoctl({"run", "-a", "test", "--", exe, "a b"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "out a b\n");
    EXPECT_EQ(r.err, "err\n");

    // Without -a the authority comes from the local configuration.
    r = tuvoctl({"run", exe, "x"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "out x\n");

    // A path the local configuration does not name is no script, before
    // any authority is asked for.
    r = tuvoctl({"run", "--", exe + "-typo"});
    EXPECT_EQ(r.status, 127) << r.err;
    EXPECT_NE(r.err.find("no such script"), std::string::npos) << r.err;
}

TEST_F(Tuvoctl, CommandsThatDoNotCompleteHaveTheirOwnStatuses) {
    ScriptSpec slow{.name = "slow", .body = "echo started; sleep 30", .timeout = 1};
    slow.kill_signals = R"([{"signal": 9, "timeout": 2}])";
    std::string slow_exe = sb_->add_script(slow);
    std::string ok = sb_->add_script({.name = "ok", .body = "exit 0"});
    std::string tampered = sb_->add_script({.name = "tampered", .body = "exit 0"});
    sb_->write(tampered, "#!/bin/sh\necho changed\n", 0755);
    start();

    tool_result r = tuvoctl({"run", "-a", "test", "--", slow_exe});
    EXPECT_EQ(r.status, 124) << r.err;
    EXPECT_EQ(r.out, "started\n");
    EXPECT_NE(r.err.find("TIMEDOUT"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ETIMEDOUT (145)"), std::string::npos) << r.err;

    r = tuvoctl({"run", "-a", "wrong", "--", ok});
    EXPECT_EQ(r.status, 125) << r.err;
    EXPECT_NE(r.err.find("EPERM (1): No authority to run script"), std::string::npos) << r.err;

    r = tuvoctl({"run", "-a", "test", "--", tampered});
    EXPECT_EQ(r.status, 126) << r.err;
    EXPECT_NE(r.err.find("Script digest mismatch"), std::string::npos) << r.err;

    r = tuvoctl({"run", "-a", "test", "--", sb_->bin_dir + "/not-configured"});
    EXPECT_EQ(r.status, 127) << r.err;
    EXPECT_NE(r.err.find("INVALID_CMD"), std::string::npos) << r.err;
}

// The first line after list's header, split into its columns.
std::vector<std::string> list_row(const std::string &out) {
    std::vector<std::string> cols;
    size_t nl = out.find('\n');
    if (nl == std::string::npos)
        return cols;
    std::string row = out.substr(nl + 1, out.find('\n', nl + 1) - nl - 1);
    size_t pos = 0;
    while (pos < row.size()) {
        size_t start = row.find_first_not_of(' ', pos);
        if (start == std::string::npos)
            break;
        size_t end = row.find("  ", start);
        cols.push_back(row.substr(start, end == std::string::npos ? std::string::npos : end - start));
        pos = end == std::string::npos ? row.size() : end;
    }
    return cols;
}

// Ctrl-C on a synchronous run cancels the command rather than orphaning it,
// and says which request it was.
TEST_F(Tuvoctl, InterruptedRunCancelsItsCommand) {
    std::string started = sb_->root + "/started";
    std::string exe = sb_->add_script({.name = "long",
                                       .body = "echo $$ > " + started + ".tmp; mv " + started + ".tmp " + started +
                                               "; exec sleep 300",
                                       .timeout = 600,
                                       .kill_signals = R"([{"signal": 15, "timeout": 10}])"});
    start();
    tool_result r = tuvoctl({"run", "-u", "ctrl-c-1", "--", exe}, 60000, started);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("request ctrl-c-1 cancelled"), std::string::npos) << r.err;
    pid_t pid = static_cast<pid_t>(atoi(e2e::read_file(started).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(e2e::wait_until([&] { return kill(pid, 0) != 0; }, 20000)) << "the command went on";
}

TEST_F(Tuvoctl, StartListGetAndClear) {
    std::string flag = sb_->root + "/go";
    std::string exe = sb_->add_script(
        {.name = "waiter", .body = "while [ ! -e " + flag + " ]; do sleep 0.05; done; echo done; echo warn >&2; exit 5"});
    start();

    tool_result r = tuvoctl({"start", "-a", "test", "-u", "cmd-1", "--", exe});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "cmd-1\n");
    r = tuvoctl({"list", "--state", "RUNNING"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> row = list_row(r.out);
    ASSERT_EQ(row.size(), 6U) << r.out;
    EXPECT_EQ(row[0], "cmd-1");
    EXPECT_EQ(row[1], "waiter");
    EXPECT_EQ(row[2], "RUNNING");
    EXPECT_EQ(row[5], "-");
    EXPECT_EQ(tuvoctl({"list", "-q", "--name", "wait%"}).out, "cmd-1\n");
    // --json stays the daemon's answer; with -l it carries the table's columns.
    r = tuvoctl({"list", "--json"});
    EXPECT_NE(r.out.find("\"cmd-1\": \"RUNNING\""), std::string::npos) << r.out;
    r = tuvoctl({"list", "--json", "-l"});
    ASSERT_EQ(r.status, 0) << r.err;
    json_ptr rows(json_loads(r.out.c_str(), 0, nullptr));
    ASSERT_EQ(json_array_size(rows.get()), 1u) << r.out;
    json_t *first = json_array_get(rows.get(), 0);
    EXPECT_STREQ(json_string_value(json_object_get(first, "requestUUID")), "cmd-1");
    EXPECT_STREQ(json_string_value(json_object_get(first, "name")), "waiter");
    EXPECT_STREQ(json_string_value(json_object_get(first, "state")), "RUNNING");
    EXPECT_TRUE(json_is_string(json_object_get(first, "start"))) << r.out;
    EXPECT_TRUE(json_is_null(json_object_get(first, "finish"))) << r.out;
    EXPECT_GE(json_real_value(json_object_get(first, "seconds")), 0.0) << r.out;
    EXPECT_TRUE(json_is_null(json_object_get(first, "exitStatus"))) << r.out;
    EXPECT_EQ(tuvoctl({"list", "-q", "--name", "other"}).out, "");
    r = tuvoctl({"get", "cmd-1"});
    EXPECT_EQ(r.status, 75) << "still running";
    r = tuvoctl({"clear", "cmd-1"});
    EXPECT_EQ(r.status, 1) << "a running record is kept without --force";

    sb_->write(flag, "");
    ASSERT_TRUE(e2e::wait_until([] { return tuvoctl({"list", "-q", "--state", "COMPLETE"}).out == "cmd-1\n"; },
                                15000));
    row = list_row(tuvoctl({"list"}).out);
    ASSERT_EQ(row.size(), 6U);
    EXPECT_EQ(row[2], "COMPLETE");
    EXPECT_EQ(row[5], "5");
    r = tuvoctl({"get", "--peek", "cmd-1", "state", "output"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "state: COMPLETE\noutput: {\"exitStatus\":5,\"stdout\":\"done\\n\",\"stderr\":\"warn\\n\"}\n");
    // Without properties get is run after the fact: the output raw, the status passed on.
    r = tuvoctl({"get", "cmd-1"});
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(r.err, "warn\n");
    r = tuvoctl({"get", "cmd-1", "state"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to get cmd-1"), std::string::npos) << r.err;
    // With --json a client-side failure is JSON too.
    r = tuvoctl({"--json", "get"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.out.find("\"error\": \"get: no request identifier given\""), std::string::npos) << r.out;
}

TEST_F(Tuvoctl, ClearByState) {
    std::string ok = sb_->add_script({.name = "ok", .body = "exit 0"});
    std::string bad = sb_->add_script({.name = "bad", .body = "kill -9 $$"});
    start();
    for (const char *id : {"a-1", "a-2"})
        ASSERT_EQ(tuvoctl({"start", "-a", "test", "-u", id, "--", ok}).status, 0);
    ASSERT_EQ(tuvoctl({"start", "-a", "test", "-u", "b-1", "--", bad}).status, 0);
    ASSERT_TRUE(e2e::wait_until([] { return tuvoctl({"list", "-q", "--state", "RUNNING"}).out.empty(); }, 15000));
    tool_result r = tuvoctl({"clear", "--state", "COMPLETE"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2 cleared\n");
    EXPECT_EQ(tuvoctl({"list", "-q"}).out, "b-1\n");
}

TEST_F(Tuvoctl, StatusMetricsAndCancel) {
    std::string flag = sb_->root + "/started";
    std::string exe = sb_->add_script({.name = "long", .body = "touch " + flag + "; exec sleep 300", .timeout = 600});
    start();
    ASSERT_EQ(tuvoctl({"start", "-u", "run-9", "--", exe}).status, 0);
    ASSERT_TRUE(e2e::wait_until([&] { return access(flag.c_str(), F_OK) == 0; }, 10000));

    tool_result r = tuvoctl({"status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Running commands: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Scripts loaded:   1\n"), std::string::npos) << r.out;

    // Every sample line of the exposition is a tuvod_* metric with a number.
    r = tuvoctl({"metrics"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::regex sample(R"(^tuvod_[a-z_]+(\{[a-z]+="[^"]*"(,[a-z]+="[^"]*")*\})? -?[0-9.]+$)");
    int samples = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP tuvod_", 0) == 0 || line.rfind("# TYPE tuvod_", 0) == 0)
            continue;
        EXPECT_TRUE(std::regex_match(line, sample)) << line;
        samples++;
    }
    EXPECT_GT(samples, 5);
    EXPECT_NE(r.out.find("\ntuvod_running_commands 1\n"), std::string::npos) << r.out;

    // The authority comes from the local configuration of the script the command runs.
    r = tuvoctl({"cancel", "run-9"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(e2e::wait_until([] { return tuvoctl({"list", "-q", "--state", "DIED"}).out == "run-9\n"; }, 10000));
    r = tuvoctl({"get", "run-9"});
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("cancelled by request"), std::string::npos) << r.err;
    r = tuvoctl({"cancel", "-a", "test", "run-9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No command run-9 to cancel"), std::string::npos) << r.err;
}

TEST_F(Tuvoctl, LegacyGatewayStatusAndOutput) {
    std::string exe = sb_->add_script({.name = "hello", .body = "echo \"hello $1\"; echo hidden >&2; exit 4"});
    start();
    tool_result r = tuvoctl({"legacy", exe + " world"});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(r.out, "hello world\n");
    r = tuvoctl({"legacy", sb_->bin_dir + "/unknown arg"});
    EXPECT_EQ(r.status, 102) << r.err;
    EXPECT_EQ(r.err, "tuvoctl: legacy: status 102: tuvod has no script with the path '" + sb_->bin_dir +
                         "/unknown' (no configuration in /lumo/conf/tuvod/script_config.d names it); the first word "
                         "must be a configured script's \"path\", exactly\n");

    // A caller the gateway does not serve learns why, and what to change.
    int err_pipe[2];
    ASSERT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(err_pipe[1], 2);
        std::string line = exe + " world";
        const char *argv[] = {TUVOCTL_BINARY, "legacy", line.c_str(), nullptr};
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)
            execv(TUVOCTL_BINARY, const_cast<char **>(argv));
        _exit(200);
    }
    close(err_pipe[1]);
    std::string err;
    char buf[4096];
    for (ssize_t n; (n = read(err_pipe[0], buf, sizeof buf)) > 0;)
        err.append(buf, static_cast<size_t>(n));
    close(err_pipe[0]);
    int ws = 0;
    waitpid(child, &ws, 0);
    if (WIFEXITED(ws) && WEXITSTATUS(ws) == 200)
        GTEST_SKIP() << "uid 65534 cannot run " << TUVOCTL_BINARY;
    EXPECT_EQ(WEXITSTATUS(ws), 69) << err;
    EXPECT_EQ(err, "tuvoctl: legacy: the legacy gateway at 127.0.0.1 port 4562 closed the connection without an "
                   "answer: it serves only root and the users in \"legacyUsers\" of /lumo/conf/tuvod/config.json, "
                   "and this is uid 65534; run as root or have that uid added there\n");
}

TEST_F(Tuvoctl, NoDaemonIsReportedWithinTheConnectWait) {
    // No daemon runs in this test's network namespace.
    tool_result r = tuvoctl({"-t", "600", "list"}, 30000);
    EXPECT_EQ(r.status, 69);
    EXPECT_NE(r.err.find("no daemon answers at tcp://127.0.0.1:5557"), std::string::npos) << r.err;
    r = tuvoctl({"legacy", "/x"}, 30000);
    EXPECT_EQ(r.status, 69);
    EXPECT_EQ(r.err, "tuvoctl: legacy: no legacy gateway answers at 127.0.0.1 port 4562: nothing listens there; "
                     "tuvod is not running or is still starting (it opens the gateway last): see systemctl status "
                     "tuvod\n");
}

// Ids and other text that other callers chose reach the administrator's
// terminal escaped; command output stays as the script wrote it.
TEST_F(Tuvoctl, OtherCallersTextIsEscapedOutputIsNot) {
    std::string exe = sb_->add_script({.name = "esc", .body = "printf '\\033[1mbold\\n'"});
    start();
    const std::string hostile = "x\x1b]0;owned\x07-\xc2\x9b" "2J-\xe2\x80\xae";
    Client c;
    ASSERT_EQ(e2e::state_of(c.call("execute", e2e::exec_args({exe}, true).release(), hostile)), "RUNNING");
    ASSERT_TRUE(e2e::wait_until([&] {
        json_ptr r = c.call("get", json_pack("{s:[s], s:b}", "properties", "state", "peek", 1), hostile);
        return e2e::state_of(r) == "COMPLETE";
    }, 10000));
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"list"}, {"list", "-q"}, {"--json", "list"}, {"--json", "list", "-l"},
             {"get", "--peek", hostile, "name", "state"}}) {
        tool_result r = tuvoctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const std::string *text : {&r.out, &r.err}) {
            EXPECT_EQ(text->find('\x1b'), std::string::npos) << args[0] << ": " << *text;
            EXPECT_EQ(text->find('\x07'), std::string::npos) << args[0] << ": " << *text;
            EXPECT_EQ(text->find("\xc2\x9b"), std::string::npos) << args[0] << ": " << *text;
            EXPECT_EQ(text->find("\xe2\x80\xae"), std::string::npos) << args[0] << ": " << *text;
        }
    }
    tool_result q = tuvoctl({"list", "-q"});
    EXPECT_EQ(q.out, "x\\x1b]0;owned\\x07-\\u009b2J-\\u202e\n");
    // The output itself is the script's business.
    tool_result raw = tuvoctl({"get", "--peek", hostile});
    EXPECT_EQ(raw.out, "\x1b[1mbold\n");
}

TEST_F(Tuvoctl, CheckConfigSaysWhatTheDaemonWouldSay) {
    std::string file = sb_->root + "/config.json";
    sb_->write(file, "{\"bindAddrs\": [\"127.0.0.1\"]}", 0600);
    tool_result r = tuvoctl({"check-config", file});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, file + ": ok\n");

    sb_->write(file, "{\"bindAddrs\": [\"127.0.0.1\"],}", 0600);
    r = tuvoctl({"check-config", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("Unable to parse config file " + file + ": ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("(line 1)\n"), std::string::npos) << r.out;

    sb_->write(file, "{\"tls\": {\"cleartextLoopbackOnly\": \"true\", \"port\": 0}, \"legacyUsers\": \"ops\"}",
               0600);
    r = tuvoctl({"check-config", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Configuration key \"tls.port\" must be a port number from 1 to 65535\n"
                     "Configuration key \"tls.cleartextLoopbackOnly\" must be true or false\n"
                     "Configuration key \"legacyUsers\" must be a list of user names or uids\n");
    // The daemon refuses the same file with the same words.
    sb_->write(sb_->config_path(), read_file(file), 0600);
    d_ = std::make_unique<Daemon>(*sb_);
    ASSERT_TRUE(d_->start());
    EXPECT_EQ(d_->wait_exit(), 1);
    EXPECT_NE(d_->log().find(r.out), std::string::npos) << d_->log();
    d_.reset();
}

// A misspelt key and an address that cannot be bound are named, by
// check-config and by the daemon at start, in the same words; neither stops
// anything unless --strict asks for it.
TEST_F(Tuvoctl, CheckConfigWarnsOfUnknownKeysAndAddressesTheDaemonCannotBind) {
    std::string file = sb_->root + "/config.json";
    sb_->write(file, "{\"bindAddrs\": [\"127.0.0.1\", \"not-an-ip\"], \"tlss\": {\"port\": 5558}}", 0600);
    const std::string unknown = "Unknown configuration key \"tlss\" (kept, not used; did you mean \"tls\"?)";
    const std::string address =
        "Configuration key \"bindAddrs\" entry \"not-an-ip\" is not an IPv4 address; it will fail to bind and be "
        "skipped";
    tool_result r = tuvoctl({"check-config", file});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "warning: " + unknown + "\nwarning: " + address + "\n" + file + ": ok, with 2 warnings\n");
    r = tuvoctl({"check-config", "--strict", file});
    EXPECT_EQ(r.status, 1) << r.out << r.err;

    sb_->write(sb_->config_path(), read_file(file), 0600);
    start();
    EXPECT_NE(d_->log().find(unknown + "\n"), std::string::npos) << d_->log();
    EXPECT_NE(d_->log().find(address + "\n"), std::string::npos) << d_->log();
    // The bind itself still fails as it always has, and the rest is served.
    EXPECT_NE(d_->log().find("Failed to bind tcp://[not-an-ip]:5557"), std::string::npos) << d_->log();
    EXPECT_EQ(tuvoctl({"list", "-q"}).status, 0);
}

TEST_F(Tuvoctl, CheckScriptsAcceptsWhatTheDaemonLoads) {
    sb_->add_script({.name = "one", .body = "exit 0"});
    sb_->add_script({.name = "two", .body = "exit 0", .with_digest = false});
    tool_result r = tuvoctl({"check-scripts", sb_->scripts_dir});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("2 files, 2 valid, 0 with problems"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("two.json: ok: two -> " + sb_->bin_dir + "/two (no digest check)"),
              std::string::npos) << r.out;
}

} // namespace
