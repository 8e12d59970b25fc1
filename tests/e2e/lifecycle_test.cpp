// The daemon's command line, start-up, signals and shutdown, seen from outside.
#include <pwd.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "harness.hpp"

namespace {

struct run_result {
    int status; // exit status, or 128 + signal
    std::string output;
};

// Runs the binary to completion with stdout and (unless stdout_only) stderr
// captured; optionally as another user.
run_result run_tuvod(const std::vector<std::string> &args, uid_t as_uid = 0, bool stdout_only = false) {
    char tmpl[] = "/tmp/tuvod-out.XXXXXX";
    int fd = mkstemp(tmpl);
    std::vector<std::string> argv_s = {TUVOD_BINARY};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        if (stdout_only) {
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 2);
        } else {
            dup2(fd, 2);
        }
        if (as_uid != 0 && (setgid(as_uid) != 0 || setuid(as_uid) != 0))
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(fd);
    run_result r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                 e2e::read_file(tmpl)};
    unlink(tmpl);
    return r;
}

TEST(Options, HelpPrintsBannerAndUsage) {
    auto r = run_tuvod({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Halvorine command execution daemon (tuvod) 2.0\n"), std::string::npos);
    EXPECT_NE(r.output.find("Usage: tuvod [options]\n"), std::string::npos);
    EXPECT_NE(r.output.find("\t[-m <size>]\t\tSet maximum message size to <size> bytes\n"),
              std::string::npos);
}

TEST(Options, HelpGoesToStandardOutput) {
    auto r = run_tuvod({"-h"}, 0, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Halvorine command execution daemon (tuvod) 2.0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Usage: tuvod [options]\n"), std::string::npos) << r.output;
}

TEST(Options, RefusedOptionsSayWhy) {
    auto workers = run_tuvod({"-w", "99"});
    EXPECT_EQ(workers.status, 1);
    EXPECT_NE(workers.output.find("Number of workers must be in range 1 - 16."), std::string::npos) << workers.output;
    auto not_number = run_tuvod({"-w", "many"});
    EXPECT_EQ(not_number.status, 1);
    EXPECT_NE(not_number.output.find("Error: option '-w' takes a number, not 'many'"), std::string::npos)
        << not_number.output;
    for (const char *mask : {"Bogus", "Legacy|Bogus", "Bogus|Legacy"}) {
        auto debug = run_tuvod({"-d", mask, "-h"});
        EXPECT_EQ(debug.status, 1) << mask;
        EXPECT_NE(debug.output.find("Invalid debug type 'Bogus' specified"), std::string::npos) << debug.output;
    }
    EXPECT_EQ(run_tuvod({"-d", "Legacy|Worker", "-h"}).status, 0);
}

TEST(Options, AbortFlagDumpsCoreAtExit) {
    auto r = run_tuvod({"-a", "-h"});
    EXPECT_EQ(r.status, 128 + SIGABRT);
    EXPECT_NE(r.output.find("Dumping core by request"), std::string::npos);
}

TEST(Options, WorkerCountRange) {
    for (const char *bad : {"0", "17", "-1", "99999999999999999999999", "0x11"})
        EXPECT_EQ(run_tuvod({"-w", bad}).status, 1) << bad;
    auto trailing = run_tuvod({"-w", "8x"});
    EXPECT_EQ(trailing.status, 1);
    EXPECT_NE(trailing.output.find("Usage: tuvod"), std::string::npos);
    // Accepted values get as far as -h.
    for (const char *good : {"16", "0x10", "020", "1"})
        EXPECT_EQ(run_tuvod({"-w", good, "-h"}).status, 0) << good;
}

TEST(Options, MessageSize) {
    auto small = run_tuvod({"-m", "127"});
    EXPECT_EQ(small.status, 1);
    EXPECT_NE(small.output.find("The maximum message size must be at least 128 bytes\n"),
              std::string::npos);
    EXPECT_EQ(run_tuvod({"-m", "128", "-h"}).status, 0);
    // -d raises the level at once, so the informational messages show.
    auto unlimited = run_tuvod({"-d", "All", "-m", "-5", "-h"});
    EXPECT_EQ(unlimited.status, 0);
    EXPECT_NE(unlimited.output.find("Setting the maximum message size to unlimited\n"),
              std::string::npos);
    // Above what the 32-bit socket option holds is as good as unlimited, and says so.
    auto huge = run_tuvod({"-d", "All", "-m", "2147483648", "-h"});
    EXPECT_EQ(huge.status, 0);
    EXPECT_NE(huge.output.find("Setting the maximum message size to unlimited\n"), std::string::npos)
        << huge.output;
    EXPECT_EQ(huge.output.find("-1 bytes"), std::string::npos);
    for (const char *odd : {"0x7fffffffffffffff", "-99999999999999999999", "12abc", "", "0777777"}) {
        auto r = run_tuvod({"-m", odd, "-h"});
        EXPECT_TRUE(r.status == 0 || r.status == 1) << odd << " gave " << r.status;
    }
}

TEST(Options, MissingArgumentAndUnknownOption) {
    auto missing = run_tuvod({"-p"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("Error: option '-p' requires an argument\n"), std::string::npos);
    EXPECT_NE(missing.output.find("Usage: tuvod"), std::string::npos);
    auto unknown = run_tuvod({"-z"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.output.find("Error: invalid option '-z\n"), std::string::npos);
}

TEST(Lifecycle, NonRootDaemonModeRefusedBeforePidFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    std::string pid_file = "/tmp/tuvod-nonroot-" + e2e::new_uuid() + ".pid";
    auto r = run_tuvod({"-p", pid_file}, 65534);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("tuvod can only be run in daemon mode as root\n"), std::string::npos);
    struct stat st;
    EXPECT_NE(stat(pid_file.c_str(), &st), 0);
}

TEST(Lifecycle, SigtermShutsDownInOrder) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    e2e::Daemon d(sb);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.log();
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(), 0) << d.log();
    std::string log = d.log();
    auto init = log.find("Initiating shutdown for tuvod instance");
    auto done = log.find("Shutdown complete for tuvod instance");
    ASSERT_NE(init, std::string::npos) << log;
    ASSERT_NE(done, std::string::npos) << log;
    EXPECT_LT(init, done);
}

TEST(Lifecycle, ExitAfterInitialisationWaitsOnce) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    e2e::Daemon d(sb, {"-f", "-e"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.log();
    EXPECT_NE(d.log().find(", will exit immediately after initialisation"), std::string::npos);
    d.signal(SIGHUP);
    EXPECT_EQ(d.wait_exit(), 0) << d.log();
    EXPECT_NE(d.log().find("Shutdown complete"), std::string::npos);
}

TEST(Lifecycle, SighupReloadsAndKeepsRunning) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    e2e::Daemon d(sb);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.log();
    d.signal(SIGHUP);
    EXPECT_TRUE(d.wait_for_log("Re-loaded script configuraton\n")) << d.log();
    EXPECT_EQ(d.stop(), 0);
}

TEST(Lifecycle, DaemonModeDetachesWritesPidAndLogs) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    std::string pid_file = sb.root + "/daemon.pid";
    // The parent returns once the daemon has detached.
    auto r = run_tuvod({"-p", pid_file});
    EXPECT_EQ(r.status, 0) << r.output;
    pid_t pid = 0;
    ASSERT_TRUE(e2e::wait_until(
        [&] {
            pid = static_cast<pid_t>(atoi(e2e::read_file(pid_file).c_str()));
            return pid > 0;
        },
        10000));
    std::string log_path = sb.log_dir + "/tuvod.log";
    ASSERT_TRUE(e2e::wait_until(
        [&] { return e2e::read_file(log_path).find("Start-up complete") != std::string::npos; },
        15000))
        << e2e::read_file(log_path);
    std::string log = e2e::read_file(log_path);
    // Every line carries the 23-character UTC prefix.
    EXPECT_TRUE(std::regex_search(log, std::regex(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ : Starting tuvod daemon )")))
        << log;
    EXPECT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(e2e::wait_until([&] { return kill(pid, 0) != 0; }, 30000));
    EXPECT_NE(e2e::read_file(log_path).find("Shutdown complete"), std::string::npos);
    struct stat st;
    EXPECT_NE(stat(pid_file.c_str(), &st), 0) << "the pid file outlived an orderly exit";
}

json_ptr peek(e2e::Client &c, const std::string &id) {
    return c.call("get", json_pack("{s:[s,s], s:b}", "properties", "state", "output", "peek", 1), id);
}

bool alive(pid_t pid) { return kill(pid, 0) == 0; }

std::vector<pid_t> read_pids(const std::string &file) {
    std::vector<pid_t> pids;
    std::string text = e2e::read_file(file);
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            break;
        pids.push_back(static_cast<pid_t>(atoi(text.substr(pos, eol - pos).c_str())));
        pos = eol + 1;
    }
    return pids;
}

// A second instance started by mistake stops at its PID file, before it
// could mark the first instance's running commands LOST.
TEST(Lifecycle, SecondInstanceStopsAtTheLockedPidFile) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    std::string gate = sb.root + "/gate";
    std::string exe = sb.add_script(
        {.name = "slow", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done; echo finished"});
    std::string pid_file = sb.root + "/tuvod.pid";
    e2e::Daemon first(sb, {"-f", "-p", pid_file});
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait_ready()) << first.log();
    e2e::Client c;
    std::string id = e2e::new_uuid();
    ASSERT_EQ(e2e::state_of(e2e::exec(c, {exe}, true, id)), "RUNNING");

    auto second = run_tuvod({"-f", "-p", pid_file});
    EXPECT_EQ(second.status, 1) << second.output;
    EXPECT_NE(second.output.find("Another tuvod instance (PID " + std::to_string(first.pid()) +
                                 ") holds the pid file " + pid_file),
              std::string::npos)
        << second.output;
    EXPECT_EQ(second.output.find("Starting tuvod"), std::string::npos) << second.output;
    EXPECT_EQ(e2e::read_file(pid_file), std::to_string(first.pid()) + "\n");

    sb.write(gate, "");
    json_ptr r;
    ASSERT_TRUE(e2e::wait_until([&] { r = peek(c, id); return e2e::state_of(r) != "RUNNING"; }, 10000));
    EXPECT_EQ(e2e::state_of(r), "COMPLETE") << e2e::text_of(r);
    EXPECT_STREQ(e2e::str(json_object_get(e2e::result_of(r), "output"), "stdout"), "finished\n");
    EXPECT_EQ(first.stop(), 0) << first.log();
}

// Reloads happen while a run of a removed script goes on, and a SIGHUP that
// comes in meanwhile is not lost.
TEST(Lifecycle, SighupsDuringALongRunEachTakeEffect) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    std::string gate = sb.root + "/gate";
    std::string exe = sb.add_script(
        {.name = "long", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done; echo finished"});
    e2e::Daemon d(sb);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.log();
    json_ptr sync_run;
    std::thread runner([&] {
        e2e::Client c("tcp://127.0.0.1:5557", 30000);
        sync_run = e2e::exec(c, {exe}, false);
    });
    e2e::Client c;
    ASSERT_TRUE(e2e::wait_until([&] {
        auto l = c.call("list", json_pack("{s:s}", "state", "RUNNING"));
        return json_object_size(e2e::result_of(l)) == 1;
    }, 10000));
    std::remove((sb.scripts_dir + "/long.json").c_str());
    std::string first_added = sb.add_script({.name = "first", .body = "echo first"});
    d.signal(SIGHUP);
    EXPECT_TRUE(e2e::wait_until([&] { return e2e::state_of(e2e::exec(c, {first_added}, false)) == "COMPLETE"; }, 5000));
    std::string second_added = sb.add_script({.name = "second", .body = "echo second"});
    d.signal(SIGHUP);
    EXPECT_TRUE(e2e::wait_until([&] { return e2e::state_of(e2e::exec(c, {second_added}, false)) == "COMPLETE"; }, 5000))
        << d.log();
    // Both reloads took place while the removed script was still running.
    EXPECT_EQ(e2e::state_of(e2e::exec(c, {exe}, false)), "INVALID_CMD");
    sb.write(gate, "");
    runner.join();
    EXPECT_EQ(e2e::state_of(sync_run), "COMPLETE") << e2e::text_of(sync_run);
    EXPECT_EQ(d.stop(), 0) << d.log();
}

// SIGTERM ends asynchronous runs too: nothing of them is left running and
// their records say that their end is unknown.
TEST(Lifecycle, SigtermWithAsynchronousRunsLeavesNothingAndRecordsThemLost) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    std::string pids = sb.root + "/pids";
    std::string exe = sb.add_script(
        {.name = "forever", .body = "echo $$ >> " + pids + "; sleep 600 & echo $! >> " + pids + "; wait",
         .timeout = 600,
         // The shutdown stops each run with its own kill steps; one short step here.
         .kill_signals = R"([{"signal": 15, "timeout": 5}])"});
    auto d = std::make_unique<e2e::Daemon>(sb);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(d->wait_ready()) << d->log();
    e2e::Client c;
    std::vector<std::string> ids;
    for (int i = 0; i < 3; i++) {
        ids.push_back(e2e::new_uuid());
        ASSERT_EQ(e2e::state_of(e2e::exec(c, {exe}, true, ids.back())), "RUNNING");
    }
    ASSERT_TRUE(e2e::wait_until([&] { return read_pids(pids).size() == 6; }, 10000));
    auto before = std::chrono::steady_clock::now();
    d->signal(SIGTERM);
    EXPECT_EQ(d->wait_exit(20000), 0) << d->log();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
    for (pid_t p : read_pids(pids))
        EXPECT_TRUE(e2e::wait_until([&] { return !alive(p); }, 5000)) << p;

    unlink((sb.root + "/daemon.out").c_str()); // readiness is read from it
    d = std::make_unique<e2e::Daemon>(sb);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(d->wait_ready()) << d->log();
    e2e::Client c2;
    for (const std::string &id : ids)
        EXPECT_EQ(e2e::state_of(peek(c2, id)), "LOST") << id;
    EXPECT_EQ(d->stop(), 0) << d->log();
}

} // namespace
