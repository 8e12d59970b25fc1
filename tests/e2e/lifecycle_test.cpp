// The daemon's command line, start-up, signals and shutdown, seen from outside.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "harness.hpp"

namespace {

struct run_result {
    int status; // exit status, or 128 + signal
    std::string output;
};

// Runs the binary to completion with stdout and stderr captured; optionally as another user.
run_result run_tuvod(const std::vector<std::string> &args, uid_t as_uid = 0) {
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
        dup2(fd, 2);
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
}

} // namespace
