// Behaviour that must fail closed or keep what it holds: records kept until
// collected, named-caller scripts, outside text in the log, scripts stopped
// by their own escalation at shutdown, slow legacy readers, script links,
// -e, one daemon per database and the execution log after a crash.
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::Daemon;

class SafeDefault : public e2e::DaemonTest {
  protected:
    // A second start in the same sandbox; readiness is read from a fresh output.
    void restart() {
        unlink((sb_->root + "/daemon.out").c_str());
        start();
    }
    json_ptr peek(Client &c, const std::string &uuid) {
        return c.call("get", json_pack("{s:[s,s], s:b}", "properties", "state", "errors", "peek", 1), uuid);
    }
    std::string db_path() const { return sb_->cache_dir + "/tuvod.db"; }
    void db_exec(const std::string &sql) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
        char *err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }
};

// A stamp as the daemon stores them, days back.
std::string stamp_days_ago(int days) {
    time_t t = time(nullptr) - static_cast<time_t>(days) * 86400;
    struct tm tm_utc;
    gmtime_r(&t, &tm_utc);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000+0000", &tm_utc);
    return buf;
}

TEST_F(SafeDefault, OldUncollectedRecordsAreKeptAndCounted) {
    std::string marker = sb_->root + "/ran";
    std::string exe = sb_->add_script({.name = "once", .body = "echo ran >> " + marker});
    start();
    EXPECT_EQ(d_->stop(), 0) << d_->log();
    std::string old = stamp_days_ago(30);
    db_exec("INSERT INTO CMDS (REQUEST_UUID, NAME, STATE, ARGS, START_TIME, RESULT, ERRORS, FINISH_TIME) VALUES "
            "('old-done', 'once', 'COMPLETE', '[]', '" + old + "', '{}', '[]', '" + old + "'), "
            "('old-lost', 'once', 'RUNNING', '[]', '" + old + "', NULL, NULL, NULL);");
    restart();
    Client c;
    EXPECT_EQ(e2e::state_of(peek(c, "old-done")), "COMPLETE");
    EXPECT_EQ(e2e::state_of(peek(c, "old-lost")), "LOST");
    // The status shows what waits to be collected, and since when.
    json_ptr st = c.call("status", json_object());
    json_t *result = e2e::result_of(st);
    EXPECT_EQ(json_integer_value(json_object_get(result, "uncollectedRecords")), 2) << e2e::text_of(st);
    EXPECT_GT(json_real_value(json_object_get(result, "oldestUncollectedSeconds")), 29 * 86400.0);
    // A repeat of a kept request is still refused: the script does not run again.
    json_ptr again = c.call("execute", e2e::exec_args({exe}, false).release(), "old-done");
    EXPECT_NE(e2e::state_of(again), "COMPLETE") << e2e::text_of(again);
    EXPECT_EQ(e2e::read_file(marker), "");
    EXPECT_EQ(d_->log().find("Removed"), std::string::npos) << d_->log();
}

TEST_F(SafeDefault, NamedCallerScriptRefusesCleartextAndLegacyCallers) {
    std::string marker = sb_->root + "/ran";
    std::string exe = sb_->add_script(
        {.name = "named", .body = "echo ran >> " + marker, .allowed_callers = {"alice"}});
    start();
    Client c;
    std::string id = e2e::new_uuid();
    json_ptr r = c.call("execute", e2e::exec_args({exe}, false).release(), id);
    EXPECT_EQ(e2e::state_of(r), "FAILED") << e2e::text_of(r);
    EXPECT_EQ(e2e::first_code(r), 1);
    EXPECT_EQ(e2e::first_error(r), "Caller 'local:uid=0' may not run script '" + exe + "'");
    // Nothing was recorded.
    EXPECT_NE(e2e::first_error(peek(c, id)), "");
    EXPECT_EQ(json_object_size(e2e::result_of(c.call("list", json_pack("{s:s, s:s}", "cmd", "%", "state", "%")))),
              0u);
    e2e::LegacyAnswer legacy = e2e::legacy_call(exe);
    EXPECT_TRUE(legacy.complete);
    EXPECT_NE(legacy.status, 0);
    EXPECT_NE(d_->log().find("Caller 'legacy:uid=0' may not run script '" + exe + "'"), std::string::npos);
    EXPECT_EQ(e2e::read_file(marker), "");
}

TEST_F(SafeDefault, UnicodeControlsInLogFieldsAreEscaped) {
    start({"-f", "-v"});
    Client c;
    // C1 CSI, a line separator, a right-to-left override and an isolate.
    const std::string hostile = "id-\xc2\x9b" "31m-\xe2\x80\xa8-\xe2\x80\xae-\xe2\x81\xa6-\xc3\xa4";
    c.call("execute", e2e::exec_args({"/no/such/" + hostile}, false).release());
    ASSERT_TRUE(d_->wait_for_log("Invalid command '/no/such/id-\\u009b31m-\\u2028-\\u202e-\\u2066-\xc3\xa4'"))
        << d_->log();
    std::string log = d_->log();
    for (const char *raw : {"\xc2\x9b", "\xe2\x80\xa8", "\xe2\x80\xae", "\xe2\x81\xa6"})
        EXPECT_EQ(log.find(raw), std::string::npos) << e2e::text_of(json_string(raw));
}

TEST_F(SafeDefault, ShutdownStopsAScriptByItsOwnEscalation) {
    std::string started = sb_->root + "/started";
    std::string cleaned = sb_->root + "/cleaned";
    std::string exe = sb_->add_script(
        {.name = "trapper",
         .body = "trap 'echo term > " + cleaned + "; exit 0' TERM; touch " + started +
                 "; while :; do sleep 0.1; done",
         .timeout = 600,
         .kill_signals = R"([{"signal": 15, "timeout": 10}, {"signal": 9, "timeout": 5}])"});
    start();
    Client c;
    std::string id = e2e::new_uuid();
    ASSERT_EQ(e2e::state_of(c.call("execute", e2e::exec_args({exe}, true).release(), id)), "RUNNING");
    ASSERT_TRUE(e2e::wait_until([&] { return access(started.c_str(), F_OK) == 0; }, 10000));
    EXPECT_EQ(d_->stop(), 0) << d_->log();
    EXPECT_EQ(e2e::read_file(cleaned), "term\n");
    // Recorded as a run the shutdown ended.
    restart();
    json_ptr got = peek(c, id);
    EXPECT_EQ(e2e::state_of(got), "LOST") << e2e::text_of(got);
    EXPECT_NE(e2e::text_of(got).find("ended by daemon shutdown"), std::string::npos) << e2e::text_of(got);
    EXPECT_NE(e2e::text_of(got).find("Command " + id + " stopped by daemon shutdown"), std::string::npos);
}

TEST_F(SafeDefault, LegacyAnswerReachesASlowReaderWhole) {
    constexpr size_t size = 12 * 1000 * 1000;
    std::string exe =
        sb_->add_script({.name = "big", .body = "head -c " + std::to_string(size) + " /dev/zero | tr '\\0' a",
                         .timeout = 120});
    start();
    unique_fd fd = e2e::legacy_connect();
    ASSERT_TRUE(fd);
    int small = 64 * 1024;
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    auto length = static_cast<uint32_t>(exe.size());
    ASSERT_TRUE(e2e::legacy_send(fd.get(), std::string(reinterpret_cast<const char *>(&length), 4) + exe));
    // About 1 MB/s: 64 KiB every 64 ms, well past the old 10 s for the whole answer.
    std::string raw;
    std::vector<char> buf(64 * 1024);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        struct pollfd p {fd.get(), POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0)
            break;
        ssize_t n = read(fd.get(), buf.data(), buf.size());
        if (n <= 0)
            break;
        raw.append(buf.data(), static_cast<size_t>(n));
        next += std::chrono::milliseconds(64);
        std::this_thread::sleep_until(next);
    }
    ASSERT_GE(raw.size(), 8u);
    uint32_t announced = 0;
    std::memcpy(&announced, raw.data() + 4, 4);
    EXPECT_EQ(announced, size);
    EXPECT_EQ(raw.size() - 8, size) << d_->log();
}

TEST_F(SafeDefault, RootOwnedLinkRunsAndALinkIntoAWritableDirectoryIsRefused) {
    std::string real = sb_->add_script({.name = "real", .body = "echo real"});
    std::string open_dir = sb_->root + "/open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    sb_->write(open_dir + "/target", "#!/bin/sh\necho target\n", 0755);
    // Configurations naming the links, with the digests of their targets.
    std::string good = sb_->add_script({.name = "via-link", .body = "echo real"});
    std::string bad = sb_->add_script({.name = "via-open", .body = "echo target"});
    ASSERT_EQ(unlink(good.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), good.c_str()), 0);
    ASSERT_EQ(unlink(bad.c_str()), 0);
    ASSERT_EQ(symlink((open_dir + "/target").c_str(), bad.c_str()), 0);
    start();
    Client c;
    json_ptr ok = c.call("execute", e2e::exec_args({good}, false).release());
    EXPECT_EQ(e2e::state_of(ok), "COMPLETE") << e2e::text_of(ok);
    EXPECT_STREQ(e2e::str(json_object_get(e2e::result_of(ok), "output"), "stdout"), "real\n");
    json_ptr refused = c.call("execute", e2e::exec_args({bad}, false).release());
    EXPECT_EQ(e2e::state_of(refused), "INVALID_SCRIPT") << e2e::text_of(refused);
    EXPECT_EQ(e2e::first_error(refused),
              "Refusing '" + bad + "' for 'via-open': directory '" + open_dir + "' is writable by group or others");
}

TEST_F(SafeDefault, ExitAfterStartWaitsForItsFirstLegacyClient) {
    std::string exe = sb_->add_script({.name = "hello", .body = "echo hello"});
    d_ = std::make_unique<Daemon>(*sb_, std::vector<std::string>{"-f", "-e"});
    ASSERT_TRUE(d_->start());
    ASSERT_TRUE(d_->wait_ready()) << d_->log();
    // Still there two seconds on: a quiet tick does not end the first pass.
    EXPECT_EQ(d_->wait_exit(2000), -1) << d_->log();
    e2e::LegacyAnswer a = e2e::legacy_call(exe);
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.data, "hello\n");
    EXPECT_EQ(d_->wait_exit(30000), 0) << d_->log();
    d_.reset();
}

TEST_F(SafeDefault, SecondInstanceLeavesTheFirstInstancesRecordsAlone) {
    std::string exe = sb_->add_script({.name = "sleeper", .body = "sleep 60", .timeout = 120});
    start();
    Client c;
    std::string id = e2e::new_uuid();
    ASSERT_EQ(e2e::state_of(c.call("execute", e2e::exec_args({exe}, true).release(), id)), "RUNNING");
    Daemon second(*sb_, {"-f", "-p", sb_->root + "/second.pid"});
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.wait_exit(30000), 1);
    EXPECT_NE(second.log().find("Another tuvod instance (PID " + std::to_string(d_->pid()) +
                                ") holds the command database /var/cache/tuvod.db; leaving its records alone"),
              std::string::npos)
        << second.log();
    EXPECT_EQ(e2e::state_of(peek(c, id)), "RUNNING");
    EXPECT_EQ(e2e::read_file(sb_->cache_dir + "/tuvod.db.lock"), std::to_string(d_->pid()) + "\n");
}

TEST_F(SafeDefault, CutOffExecutionLogRecordIsEndedAtTheNextStart) {
    std::string exe = sb_->add_script({.name = "hello", .body = "echo hello"});
    // A whole record, then a fragment of a large one, as a crash leaves it.
    const std::string whole = "{\n    \"UUID\": \"before\"\n}\n";
    const std::string fragment = "{\n    \"UUID\": \"cut\",\n    \"output\": \"" + std::string(1 << 20, 'x');
    sb_->write(sb_->log_dir + "/tuvod_exec.log", whole + fragment, 0640);
    start();
    EXPECT_NE(d_->log().find("Execution log /var/log/orrvik/tuvod_exec.log ended in a cut-off record at offset " +
                             std::to_string(whole.size()) + " (" + std::to_string(fragment.size()) +
                             " bytes); its line is ended"),
              std::string::npos)
        << d_->log();
    Client c;
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(e2e::state_of(c.call("execute", e2e::exec_args({exe}, false).release())), "COMPLETE");
    // Every record after the fragment starts on a line of its own and parses.
    std::string text = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");
    ASSERT_EQ(text.compare(0, whole.size() + fragment.size() + 1, whole + fragment + "\n"), 0);
    std::string rest = text.substr(whole.size() + fragment.size() + 1);
    json_error_t err;
    size_t at = 0, records = 0;
    while (at < rest.size()) {
        json_ptr rec(json_loadb(rest.data() + at, rest.size() - at, JSON_DISABLE_EOF_CHECK, &err));
        ASSERT_TRUE(rec) << err.text << " at " << at;
        EXPECT_TRUE(json_is_string(json_object_get(rec.get(), "UUID")));
        at += err.position;
        while (at < rest.size() && rest[at] == '\n')
            at++;
        records++;
    }
    EXPECT_EQ(records, 3u);
}

} // namespace
