// Integrity and secrecy, tried as an attacker and a local user would: what
// runs is what was checked, only root can change what root runs, secrets
// and authorities stay out of answers, files and logs, and the legacy
// gateway serves local administrators only.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "harness.hpp"

namespace fs = std::filesystem;

namespace {

using e2e::Client;
using e2e::ScriptSpec;
using e2e::exec_args;
using e2e::first_code;
using e2e::first_error;
using e2e::new_uuid;
using e2e::read_file;
using e2e::result_of;
using e2e::state_of;
using e2e::text_of;
using e2e::wait_until;

constexpr uid_t nobody = 65534;

class Integrity : public e2e::DaemonTest {
  protected:
    // Writes a file beside the executables and renames it over path, so
    // that path is never seen half-written.
    void replace(const std::string &path, const std::string &text) const {
        std::string tmp = sb_->bin_dir + "/.new";
        sb_->write(tmp, text, 0755);
        ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
    }

    bool listed_running(Client &c, const std::string &id) {
        json_ptr l = c.call("list", json_pack("{s:s}", "state", "RUNNING"));
        return text_of(l).find(id) != std::string::npos;
    }

    // Every log the daemon writes, and every file of its database, as bytes.
    std::string everything_written() const {
        std::string all = d_->log() + read_file(sb_->log_dir + "/tuvod_exec.log");
        for (const auto &entry : fs::directory_iterator(sb_->cache_dir))
            all += read_file(entry.path().string());
        return all;
    }
};

// A request that passed its check waits at the gate of a script that runs
// one at a time; the file is then rewritten in place, renamed over, or
// replaced by a symbolic link. The waiting request never runs the new
// content: it is checked again right before its run and ends INVALID_SCRIPT.
TEST_F(Integrity, ContentSwappedWhileARequestWaitsAtTheGateNeverRuns) {
    std::string release = sb_->root + "/release";
    std::string started = sb_->root + "/started";
    std::string exe = sb_->add_script(
        {.name = "gated",
         .body = "if [ \"$1\" = hold ]; then : > " + started + "; i=0; while [ ! -e " + release +
                 " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; fi; echo original",
         .concurrent = false});
    const std::string original = read_file(exe);
    const std::string swapped = "#!/bin/sh\necho swapped\n";
    start();
    Client c;

    struct round_t {
        const char *how;
        std::function<void()> swap;
        std::string error;
    };
    std::vector<round_t> rounds = {
        {"in place",
         [&] { std::ofstream(exe, std::ios::trunc) << swapped; },
         "Script digest mismatch for '" + exe + "'"},
        {"rename over", [&] { replace(exe, swapped); }, "Script digest mismatch for '" + exe + "'"},
        {"symbolic link",
         [&] {
             sb_->write(sb_->bin_dir + "/evil", swapped, 0755);
             ASSERT_EQ(symlink("evil", (sb_->bin_dir + "/link").c_str()), 0);
             ASSERT_EQ(rename((sb_->bin_dir + "/link").c_str(), exe.c_str()), 0);
         },
         // The root-owned link is followed; its target is not the checked content.
         "Script digest mismatch for '" + exe + "'"},
    };
    for (const round_t &round : rounds) {
        SCOPED_TRACE(round.how);
        unlink(release.c_str());
        unlink(started.c_str());
        std::string hold_id = new_uuid();
        json_ptr held = c.call("execute", exec_args({exe, "hold"}, true).release(), hold_id);
        ASSERT_EQ(state_of(held), "RUNNING") << text_of(held);
        ASSERT_TRUE(wait_until([&] { return access(started.c_str(), F_OK) == 0; }, 10000));

        std::string wait_id = new_uuid();
        json_ptr waited;
        std::thread second([&] {
            Client c2(std::string("tcp://127.0.0.1:5557"), 30000);
            waited = c2.call("execute", exec_args({exe, "x"}, false).release(), wait_id);
        });
        // Its start is recorded only after its first check passed.
        bool recorded = wait_until([&] { return listed_running(c, wait_id); }, 10000);
        if (recorded)
            round.swap();
        else
            ADD_FAILURE() << text_of(c.call("list", json_object()));
        sb_->write(release, "");
        second.join();
        ASSERT_TRUE(recorded);
        EXPECT_EQ(state_of(waited), "INVALID_SCRIPT") << text_of(waited);
        EXPECT_EQ(text_of(waited).find("swapped"), std::string::npos) << text_of(waited);
        EXPECT_NE(text_of(waited).find(round.error), std::string::npos) << text_of(waited);

        EXPECT_TRUE(wait_until([&] { return !listed_running(c, hold_id); }, 30000));
        replace(exe, original);
        unlink((sb_->bin_dir + "/evil").c_str());
    }
    // Restored, the script runs again.
    json_ptr r = c.call("execute", exec_args({exe, "x"}, false).release());
    EXPECT_EQ(state_of(r), "COMPLETE") << text_of(r);
}

// Only root can change what root runs: a file another user owns or may
// write, or one under a directory another user may change, is refused with
// code 1 naming the path and the reason; a sticky world-writable directory
// such as /tmp lets nobody replace root's file, so it is accepted.
TEST_F(Integrity, FilesOthersCouldChangeAreRefused) {
    auto dir = [&](const std::string &name, mode_t mode, uid_t owner) {
        std::string path = sb_->bin_dir + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_EQ(chown(path.c_str(), owner, 0), 0);
        return path;
    };
    struct case_t {
        std::string name;
        std::string dir;
        mode_t mode;
        uid_t owner;
        std::string reason; // empty: accepted
    };
    std::vector<case_t> cases = {
        {"file-owner", "", 0755, nobody, "it is owned by uid 65534"},
        {"file-group", "", 0775, 0, "it is writable by group or others"},
        {"file-other", "", 0757, 0, "it is writable by group or others"},
        {"dir-owner", dir("owned", 0755, nobody), 0755, 0, "/owned' is owned by uid 65534"},
        {"dir-group", dir("groupw", 0775, 0), 0755, 0, "/groupw' is writable by group or others"},
        {"dir-other", dir("worldw", 0777, 0), 0755, 0, "/worldw' is writable by group or others"},
        {"dir-sticky", dir("sticky", 01777, 0), 0755, 0, ""},
    };
    for (case_t &k : cases) {
        std::string exe = sb_->add_script({.name = k.name, .body = "echo ran", .dir = k.dir});
        ASSERT_EQ(chmod(exe.c_str(), k.mode), 0);
        ASSERT_EQ(chown(exe.c_str(), k.owner, 0), 0);
        k.name = exe;
    }
    start();
    Client c;
    for (const case_t &k : cases) {
        SCOPED_TRACE(k.name);
        json_ptr r = c.call("execute", exec_args({k.name}, false).release());
        if (k.reason.empty()) {
            EXPECT_EQ(state_of(r), "COMPLETE") << text_of(r);
            continue;
        }
        EXPECT_EQ(state_of(r), "INVALID_SCRIPT") << text_of(r);
        EXPECT_EQ(first_code(r), 1);
        EXPECT_EQ(first_error(r).rfind("Refusing '" + k.name + "' for '", 0), 0u) << first_error(r);
        EXPECT_NE(first_error(r).find(k.reason), std::string::npos) << first_error(r);
    }
}

// A run that times out with a secret argument: its own processes show the
// secret masked, every other process of the host only its name, and the
// secret reaches no answer, database file or log.
TEST_F(Integrity, TimedOutSecretIsNowhereAndOtherCommandLinesAreNotShown) {
    std::string secret = "s3cret-" + new_uuid().substr(0, 8);
    std::string other_marker = "other-args-" + new_uuid().substr(0, 8);
    std::string exe = sb_->add_script({.name = "slow",
                                       .body = "sh -c \"sleep 30; : --pw=$1\" & sleep 30",
                                       .timeout = 1,
                                       .redact = {1},
                                       .kill_signals = R"([{"signal": 15, "timeout": 5}])"});
    pid_t other = fork();
    if (other == 0) {
        // A group of its own, so that the shell's sleep goes with it and
        // does not hold the test's output open for its 60 seconds.
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", "sleep 60", other_marker.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(other, 0);
    setpgid(other, other);
    start();
    Client c(std::string("tcp://127.0.0.1:5557"), 60000);
    std::string id = new_uuid();
    json_ptr r = c.call("execute", exec_args({exe, secret}, true).release(), id);
    ASSERT_EQ(state_of(r), "RUNNING") << text_of(r);
    ASSERT_TRUE(wait_until([&] { return text_of(c.call("list", json_object())).find(id) !=
                                        std::string::npos &&
                                    text_of(c.call("list", json_pack("{s:s}", "state", "TIMEDOUT")))
                                            .find(id) != std::string::npos; },
                           30000));
    json_ptr got = c.call("get", json_pack("{s:[s,s,s], s:b}", "properties", "args", "errors",
                                            "output", "peek", 1),
                          id);
    kill(-other, SIGKILL);
    waitpid(other, nullptr, 0);
    std::string answer = text_of(got);
    EXPECT_EQ(answer.find(secret), std::string::npos) << answer;
    EXPECT_NE(answer.find("--pw=********"), std::string::npos) << answer;
    EXPECT_EQ(answer.find(other_marker), std::string::npos);

    // The snapshot shows the other process by its name alone.
    json_t *errors = json_object_get(result_of(got), "errors");
    json_t *snapshot = nullptr;
    size_t i;
    json_t *e;
    json_array_foreach(errors, i, e) {
        json_t *data = json_object_get(e, "errorData");
        if (json_object_get(data, "processState") != nullptr)
            snapshot = json_object_get(data, "processState");
    }
    ASSERT_NE(snapshot, nullptr) << answer;
    json_t *shown = json_object_get(snapshot, std::to_string(other).c_str());
    ASSERT_TRUE(json_is_object(shown)) << answer;
    EXPECT_STREQ(json_string_value(json_object_get(shown, "args")), "sh");

    EXPECT_EQ(everything_written().find(secret), std::string::npos);
}

// The daemon sets its own umask: started under 022, its database files are
// 0600 and its logs no wider than 0640; files found wider are narrowed.
TEST_F(Integrity, PrivateFilesWhateverTheUmask) {
    std::string exec_log = sb_->log_dir + "/tuvod_exec.log";
    std::string db = sb_->cache_dir + "/tuvod.db";
    sb_->write(exec_log, "", 0666);
    sb_->write(db, "", 0644);
    std::string exe = sb_->add_script({.name = "plain", .body = "echo ok"});
    {
        mode_t old = umask(022);
        e2e::scope_guard restore([old] { umask(old); });
        start();
    }
    Client c;
    EXPECT_EQ(state_of(c.call("execute", exec_args({exe}, false).release())), "COMPLETE");
    for (const char *suffix : {"", "-wal", "-shm"}) {
        struct stat st;
        ASSERT_EQ(stat((db + suffix).c_str(), &st), 0) << suffix;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << suffix;
    }
    struct stat st;
    ASSERT_EQ(stat(exec_log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0137, 0u) << std::oct << st.st_mode;
    EXPECT_NE(d_->log().find("Narrowed the mode of /var/log/orrvik/tuvod_exec.log from 0666"),
              std::string::npos)
        << d_->log();
    EXPECT_NE(d_->log().find("Narrowed the mode of /var/cache/tuvod.db from 0644 to 0600"),
              std::string::npos)
        << d_->log();
}

// Text from outside cannot start a log line of its own.
TEST_F(Integrity, NewlinesFromOutsideForgeNoLogLine) {
    start();
    Client c;
    c.call("list\nFORGED-by-op", json_object());
    c.call("get", json_pack("{s:[s]}", "properties", "state"), "nosuch\nFORGED-by-id");
    e2e::legacy_call("/no/such\r\nFORGED-by-legacy");
    ASSERT_TRUE(d_->wait_for_log("FORGED-by-legacy"));
    std::istringstream lines(d_->log());
    std::string line;
    int forged = 0;
    while (std::getline(lines, line)) {
        if (line.find("FORGED") == std::string::npos)
            continue;
        ++forged;
        EXPECT_EQ(line.find("FORGED"), line.find("\\nFORGED") + 2) << line;
    }
    EXPECT_GE(forged, 3);
}

// With every debug bit on, neither the authority nor a secret argument is
// logged, whatever shape the request takes.
TEST_F(Integrity, FullDebugLogsNoAuthorityAndNoSecret) {
    std::string authority = "auth-" + new_uuid();
    std::string secret = "s3cret-" + new_uuid().substr(0, 8);
    std::string exe = sb_->add_script(
        {.name = "quiet", .body = "echo done", .authority = authority, .redact = {1}});
    start({"-f", "-d", "All"});
    Client c;
    EXPECT_EQ(state_of(c.call("execute", exec_args({exe, secret}, false).release(), "", authority)),
              "COMPLETE");
    // Rejected shapes: an envelope with a stray member, and one whose
    // arguments are not all strings.
    json_ptr stray(json_pack("{s:s, s:s, s:s, s:o, s:s}", "requestUUID", new_uuid().c_str(),
                             "authority", authority.c_str(), "op", "execute", "args",
                             exec_args({exe, secret}, false).release(), "extra", "x"));
    c.request(stray.get());
    c.call("execute", json_pack("{s:[s,s,i], s:b}", "argv", exe.c_str(), secret.c_str(), 1,
                                "asynchronous", 0),
           "", authority);
    // Not JSON at all.
    c.send_raw("{\"authority\": \"" + authority + "\", \"args\": [\"" + secret + "\"" +
               std::string(1, '\0'));
    c.recv_raw(500);
    e2e::LegacyAnswer a = e2e::legacy_call(exe + " " + secret);
    EXPECT_EQ(a.status, 0);
    ASSERT_TRUE(d_->wait_for_log("tuvo response:"));
    std::string log = everything_written();
    EXPECT_EQ(log.find(authority), std::string::npos);
    EXPECT_EQ(log.find(secret), std::string::npos);
    EXPECT_NE(log.find("********"), std::string::npos);
}

// Runs a legacy command line as uid; true when an answer came.
bool legacy_answered_as(uid_t uid, const std::string &line) {
    pid_t pid = fork();
    if (pid == 0) {
        if (uid != 0 && setuid(uid) != 0)
            _exit(2);
        _exit(e2e::legacy_call(line, 10000).complete ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The gateway presents the script's authority for its caller, so only root
// and the users listed in "legacyUsers" are served; anyone else is closed
// with nothing read or run.
TEST_F(Integrity, LegacyCallersAreRootAndListedUsersOnly) {
    std::string marker = sb_->root + "/ran";
    std::string exe = sb_->add_script({.name = "mark", .body = "echo \"$1\" >> " + marker});
    start();
    EXPECT_TRUE(legacy_answered_as(0, exe + " root"));
    EXPECT_FALSE(legacy_answered_as(nobody, exe + " nobody"));
    EXPECT_EQ(read_file(marker), "root\n");
    EXPECT_NE(d_->log().find("Refusing legacy connection from uid 65534"), std::string::npos)
        << d_->log();
    EXPECT_EQ(d_->stop(), 0);

    sb_->write(sb_->config_path(), R"({"legacyUsers": ["nobody"]})", 0600);
    start();
    EXPECT_TRUE(legacy_answered_as(nobody, exe + " listed")) << d_->log();
    EXPECT_EQ(read_file(marker), "root\nlisted\n");
}

} // namespace
