// Command database: the row's life from insertion to deletion, marking lost
// rows at open, list patterns, quoting, and many threads at once.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "caller.hpp"
#include "db.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "log_sandbox.hpp"
#include "utils.hpp"

namespace {

class DbTest : public testing::Test {
  protected:
    void SetUp() override {
        db_path_ = log_.path("tuvod.db");
        tuvod_.cmd_db_filename = db_path_.c_str();
    }
    void TearDown() override {
        if (tuvod_.tuvod_cmd_db != nullptr) {
            EXPECT_EQ(tuvod_cmd_db_close(&tuvod_), 0);
        }
    }

    void open_db() { ASSERT_EQ(tuvod_cmd_db_open(&tuvod_), 0) << log_.raw(); }

    int start(const char *uuid, const char *name = "script_a", const char *caller = nullptr) {
        json_ptr args(json_pack("[s, s]", "/opt/script_a", "********"));
        error_stack errs;
        int rc = tuvod_db_start_cmd(&tuvod_, uuid, name, args.get(), caller, errs.ptr());
        EXPECT_EQ(rc == 0, errs.head() == nullptr);
        return rc;
    }

    int complete(const char *uuid, tuvod_exec_state_t state = TUVOD_EXEC_COMPLETE) {
        json_ptr out(json_pack("{s:i, s:s, s:s}", "exitStatus", 0, "stdout", "ok", "stderr", ""));
        error_stack errs;
        return tuvod_db_complete_cmd(&tuvod_, uuid, state, out.get(), errs.ptr());
    }

    // The state of a row, or "" when there is none.
    std::string state_of(const char *uuid) {
        char *state = nullptr;
        if (tuvod_db_get_cmd(&tuvod_, uuid, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr) != 0)
            return "";
        cstr_ptr owner(state);
        return state;
    }

    json_ptr list(const char *name, const char *state) {
        json_t *cmds = nullptr;
        EXPECT_EQ(tuvod_db_list_cmds(&tuvod_, name, state, &cmds), 0);
        return json_ptr(cmds);
    }

    log_sandbox log_;
    std::string db_path_;
    tuvod_state_t tuvod_;
};

// Runs statements on the file through a connection of the test's own.
void raw_exec(const std::string &path, const char *sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char *err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

std::string journal_mode(const std::string &path) {
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt *stmt = nullptr;
    std::string mode;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        mode = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return mode;
}

// Descriptors of this process open on files whose path starts with prefix,
// with whether each is close-on-exec.
std::vector<std::pair<std::string, bool>> fds_on(const std::string &prefix) {
    std::vector<std::pair<std::string, bool>> out;
    dir_ptr dir(opendir("/proc/self/fd"));
    for (struct dirent *e; dir && (e = readdir(dir.get())) != nullptr;) {
        if (e->d_name[0] == '.')
            continue;
        char target[4096] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 ||
            std::strncmp(target, prefix.c_str(), prefix.size()) != 0)
            continue;
        std::string info = log_sandbox::read_file(std::string("/proc/self/fdinfo/") + e->d_name);
        size_t at = info.find("flags:");
        unsigned long flags = at == std::string::npos ? 0 : std::stoul(info.substr(at + 6), nullptr, 8);
        out.emplace_back(target, (flags & 02000000UL) != 0);
    }
    return out;
}

TEST_F(DbTest, OlderFileGainsTheCallerColumnAndRowsAreScopedByIt) {
    // A file as written before callers were recorded, with a row in it.
    sqlite3 *old = nullptr;
    ASSERT_EQ(sqlite3_open(db_path_.c_str(), &old), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(old,
                           "CREATE TABLE CMDS (REQUEST_UUID TEXT PRIMARY KEY NOT NULL, NAME TEXT NOT NULL, "
                           "STATE TEXT NOT NULL, ARGS TEXT NOT NULL, START_TIME TEXT NOT NULL, RESULT TEXT, "
                           "ERRORS TEXT, FINISH_TIME TEXT);"
                           "INSERT INTO CMDS VALUES ('old-1', 'script_a', 'COMPLETE', '[]', 't0', '{}', '[]', 't1');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(old);

    open_db();
    EXPECT_EQ(state_of("old-1"), "COMPLETE");
    std::string caller = "x";
    ASSERT_EQ(tuvod_db_cmd_caller(&tuvod_, "old-1", &caller), 0);
    EXPECT_EQ(caller, "");
    ASSERT_EQ(start("new-alice", "script_a", "tls:alice"), 0);
    ASSERT_EQ(tuvod_db_cmd_caller(&tuvod_, "new-alice", &caller), 0);
    EXPECT_EQ(caller, "tls:alice");
    EXPECT_EQ(tuvod_db_cmd_caller(&tuvod_, "no-such", &caller), -1);

    json_t *mine = nullptr;
    ASSERT_EQ(tuvod_db_list_cmds(&tuvod_, "%", "%", &mine, "tls:alice"), 0);
    json_ptr owned(mine);
    EXPECT_EQ(json_object_size(mine), 1u);
    EXPECT_NE(json_object_get(mine, "new-alice"), nullptr);
    EXPECT_EQ(json_object_size(list("%", "%").get()), 2u);
    // A cleartext caller's list leaves out what was started over TLS.
    json_t *theirs = nullptr;
    ASSERT_EQ(tuvod_db_list_cmds(&tuvod_, "%", "%", &theirs, "tcp:192.0.2.1"), 0);
    json_ptr owned_theirs(theirs);
    EXPECT_EQ(json_object_size(theirs), 1u);
    EXPECT_NE(json_object_get(theirs, "old-1"), nullptr);

    // Local callers: a user other than root keeps its records to itself,
    // root sees every record, an unidentified local user none.
    ASSERT_EQ(start("local-user", "script_a", "local:uid=1000"), 0);
    ASSERT_EQ(start("local-root", "script_a", "local:uid=0"), 0);
    auto ids_for = [&](const char *who) {
        json_t *got = nullptr;
        EXPECT_EQ(tuvod_db_list_cmds(&tuvod_, "%", "%", &got, who), 0);
        json_ptr owned_got(got);
        std::vector<std::string> ids;
        const char *key;
        json_t *value;
        json_object_foreach(got, key, value) ids.push_back(key);
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    using ids_t = std::vector<std::string>;
    EXPECT_EQ(ids_for("local:uid=1000"), ids_t{"local-user"});
    EXPECT_EQ(ids_for("local:uid=0"), (ids_t{"local-root", "local-user", "new-alice", "old-1"}));
    EXPECT_EQ(ids_for("local:uid=unknown"), ids_t{});
    EXPECT_EQ(ids_for("tcp:192.0.2.1"), (ids_t{"local-root", "old-1"}));
    EXPECT_EQ(ids_for("legacy:uid=5"), (ids_t{"local-root", "old-1"}));
    for (const char *who : {"local:uid=1000", "local:uid=0", "local:uid=unknown", "tcp:192.0.2.1", "tls:alice"})
        for (const char *owner : {"local:uid=1000", "local:uid=0", "tls:alice", ""}) {
            auto listed = ids_for(who);
            const char *id = *owner == '\0'            ? "old-1"
                             : std::string(owner) == "tls:alice" ? "new-alice"
                             : std::string(owner) == "local:uid=0" ? "local-root"
                                                                   : "local-user";
            const std::string identity(who);
            caller_scope scope(identity);
            char *state = nullptr;
            int got = tuvod_db_get_visible_cmd(&tuvod_, id, &state, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr);
            free(state);
            EXPECT_EQ(got == 0, std::find(listed.begin(), listed.end(), id) != listed.end())
                << who << " / " << owner << ": get and list disagree";
        }
    ASSERT_EQ(tuvod_db_delete_cmd(&tuvod_, "local-user", ""), 0);
    ASSERT_EQ(tuvod_db_delete_cmd(&tuvod_, "local-root", ""), 0);

    // Opening again keeps the column and what it holds.
    ASSERT_EQ(tuvod_cmd_db_close(&tuvod_), 0);
    open_db();
    EXPECT_EQ(state_of("new-alice"), "LOST");
    ASSERT_EQ(tuvod_db_cmd_caller(&tuvod_, "new-alice", &caller), 0);
    EXPECT_EQ(caller, "tls:alice");
}

} // namespace

TEST_F(DbTest, OpenMarksRunningRowsLostAndConvertsToWal) {
    // A database left by an earlier run, in the rollback-journal mode.
    raw_exec(db_path_,
             "CREATE TABLE CMDS (REQUEST_UUID TEXT PRIMARY KEY NOT NULL, NAME TEXT NOT NULL, "
             "STATE TEXT NOT NULL, ARGS TEXT NOT NULL, START_TIME TEXT NOT NULL, RESULT TEXT, "
             "ERRORS TEXT, FINISH_TIME TEXT);"
             "INSERT INTO CMDS VALUES ('r1', 'a', 'RUNNING', '[]', 't', NULL, NULL, NULL);"
             "INSERT INTO CMDS VALUES ('r2', 'a', 'RUNNING', '[]', 't', NULL, NULL, NULL);"
             "INSERT INTO CMDS VALUES ('c1', 'a', 'COMPLETE', '[]', 't', '{}', '[]', 't');"
             "INSERT INTO CMDS VALUES ('x1', 'a', 'ARCHIVED', '[]', 't', '{}', '[]', 't');");
    ASSERT_EQ(journal_mode(db_path_), "delete");

    open_db();
    EXPECT_EQ(state_of("r1"), "LOST");
    EXPECT_EQ(state_of("r2"), "LOST");
    EXPECT_EQ(state_of("c1"), "COMPLETE");
    EXPECT_EQ(state_of("x1"), "ARCHIVED");
    EXPECT_EQ(journal_mode(db_path_), "wal");

    // Scripts run as children of this process must not inherit the database.
    auto fds = fds_on(db_path_);
    EXPECT_FALSE(fds.empty());
    for (const auto &[path, cloexec] : fds)
        EXPECT_TRUE(cloexec) << path;

    // A file that is not a database refuses the start-up and leaves no connection.
    ASSERT_EQ(tuvod_cmd_db_close(&tuvod_), 0);
    std::string junk = log_.path("junk.db");
    { std::ofstream(junk) << std::string(4096, 'x'); }
    tuvod_.cmd_db_filename = junk.c_str();
    EXPECT_EQ(tuvod_cmd_db_open(&tuvod_), -1);
    EXPECT_EQ(tuvod_.tuvod_cmd_db, nullptr);
}

// Another process (an operator's sqlite3) must see the shared memory in
// use while the daemon has the file open: were the daemon's locks dropped,
// such a reader would take it for unused and truncate it under the
// daemon's mapping, which then dies of SIGBUS.
TEST_F(DbTest, OpenKeepsTheLocksThatShowOtherProcessesTheFileInUse) {
    open_db();
    ASSERT_EQ(start("uuid-before"), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open((db_path_ + "-shm").c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        bool held = fd >= 0 && fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK && fl.l_pid == getppid();
        _exit(held ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the daemon holds no lock on its shared memory";
}

// Another process holding the database's lock stops the open before any
// record is touched, and is named; the lock is ours from open to close.
TEST_F(DbTest, AnotherHolderOfTheLockStopsTheOpenBeforeTheSweep) {
    open_db();
    ASSERT_EQ(start("still-running"), 0);
    ASSERT_EQ(tuvod_cmd_db_close(&tuvod_), 0);
    std::string lock = db_path_ + ".lock";
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(lock.c_str(), O_RDWR);
        bool ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ftruncate(fd, 0) == 0 && write(fd, "4242\n", 5) == 5;
        (void)!write(ready[1], ok ? "y" : "n", 1);
        char c;
        (void)!read(done[0], &c, 1); // held until the parent is done
        _exit(0);
    }
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(tuvod_cmd_db_open(&tuvod_), -1);
    EXPECT_EQ(tuvod_.tuvod_cmd_db, nullptr);
    EXPECT_NE(log_.raw().find("Another tuvod instance (PID 4242) holds the command database " + db_path_ +
                              "; leaving its records alone"),
              std::string::npos)
        << log_.raw();
    (void)!write(done[1], "x", 1);
    int status = 0;
    waitpid(pid, &status, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
    open_db();
    EXPECT_EQ(state_of("still-running"), "LOST");
    EXPECT_EQ(log_.read_file(lock), std::to_string(getpid()) + "\n");
}

TEST_F(DbTest, UncollectedRecordsAreCountedWithTheAgeOfTheOldest) {
    open_db();
    long long n = -1;
    double age = 0;
    ASSERT_EQ(tuvod_db_uncollected(&tuvod_, &n, &age), 0);
    EXPECT_EQ(n, 0);
    EXPECT_LT(age, 0);
    raw_exec(db_path_, "INSERT INTO CMDS (REQUEST_UUID, NAME, STATE, ARGS, START_TIME, FINISH_TIME) VALUES "
                       "('r', 'a', 'RUNNING', '[]', '2000-01-01T00:00:00.000000+0000', NULL), "
                       "('x', 'a', 'ARCHIVED', '[]', '2000-01-01T00:00:00.000000+0000', '2000-01-01T00:00:00.000000+0000'), "
                       "('old', 'a', 'COMPLETE', '[]', '2020-01-01T00:00:00.000000+0100', '2020-01-01T01:00:00.000000+0100'), "
                       "('lost', 'a', 'LOST', '[]', '2024-01-01T00:00:00.000000+0000', NULL);");
    ASSERT_EQ(tuvod_db_uncollected(&tuvod_, &n, &age), 0);
    EXPECT_EQ(n, 2);
    // The oldest end is 2020-01-01T00:00:00Z.
    EXPECT_NEAR(age, static_cast<double>(time(nullptr) - 1577836800), 120.0);
}

TEST_F(DbTest, RowLifeFromStartToArchive) {
    open_db();
    ASSERT_EQ(start("u-1"), 0);

    // A running command has no output, errors or finish time: those
    // out-parameters stay as the caller set them.
    char *sentinel = reinterpret_cast<char *>(0x1);
    json_t *js_sentinel = reinterpret_cast<json_t *>(0x1);
    char *state = nullptr, *name = nullptr, *begun = nullptr, *finish = sentinel;
    json_t *args = nullptr, *output = js_sentinel, *errors = js_sentinel;
    error_stack errs;
    ASSERT_EQ(tuvod_db_get_cmd(&tuvod_, "u-1", &state, &name, &begun, &finish, &args, &output,
                               &errors, errs.ptr()),
              0);
    cstr_ptr s1(state), s2(name), s3(begun);
    json_ptr j1(args);
    EXPECT_STREQ(state, "RUNNING");
    EXPECT_STREQ(name, "script_a");
    ASSERT_NE(begun, nullptr);
    EXPECT_EQ(std::strlen(begun), 31u) << begun; // 2026-12-06T06:12:30.004211+0100
    json_ptr want_args(json_pack("[s, s]", "/opt/script_a", "********"));
    EXPECT_TRUE(json_equal(args, want_args.get()));
    EXPECT_EQ(finish, sentinel);
    EXPECT_EQ(output, js_sentinel);
    EXPECT_EQ(errors, js_sentinel);
    EXPECT_EQ(errs.head(), nullptr);

    // Completion stores the output, the error stack as it stands, and the final state.
    error_stack run_errs;
    set_err(INFO_WARN, run_errs.ptr(), TUVOD_ETIMEDOUT, nullptr, "slow %d", 1);
    json_ptr out(json_pack("{s:i, s:s, s:s}", "exitStatus", 3, "stdout", "o", "stderr", "e"));
    ASSERT_EQ(tuvod_db_complete_cmd(&tuvod_, "u-1", TUVOD_EXEC_ABNORMAL_EXIT, out.get(),
                                    run_errs.ptr()),
              0);
    state = nullptr, finish = nullptr, output = nullptr, errors = nullptr;
    ASSERT_EQ(tuvod_db_get_cmd(&tuvod_, "u-1", &state, nullptr, nullptr, &finish, nullptr,
                               &output, &errors, errs.ptr()),
              0);
    cstr_ptr s4(state), s5(finish);
    json_ptr j2(output), j3(errors);
    EXPECT_STREQ(state, "ABNORMAL_EXOIT");
    EXPECT_NE(finish, nullptr);
    EXPECT_TRUE(json_equal(output, out.get()));
    ASSERT_EQ(json_array_size(errors), 1u);
    EXPECT_EQ(json_integer_value(json_object_get(json_array_get(errors, 0), "errorCode")), 145)
        << json_dumps(errors, 0);

    ASSERT_EQ(tuvod_db_archive_cmd(&tuvod_, "u-1", errs.ptr()), 0);
    EXPECT_EQ(state_of("u-1"), "ARCHIVED");
}

TEST_F(DbTest, MissingRowsAreNotErrors) {
    open_db();
    // A get of an unknown identifier is how callers test for a recorded request.
    error_stack errs;
    char *state = nullptr;
    EXPECT_EQ(tuvod_db_get_cmd(&tuvod_, "nobody", &state, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, errs.ptr()),
              -1);
    EXPECT_EQ(errs.head(), nullptr);
    EXPECT_EQ(state, nullptr);

    // Completing an identifier with no row succeeds and creates nothing.
    EXPECT_EQ(complete("nobody"), 0);
    EXPECT_EQ(json_object_size(list("%", "%").get()), 0u);
}

TEST_F(DbTest, DuplicateInsertFailsWithPrimaryKeyText) {
    open_db();
    ASSERT_EQ(start("dup-1"), 0);
    json_ptr args(json_array());
    error_stack errs;
    EXPECT_EQ(tuvod_db_start_cmd(&tuvod_, "dup-1", "script_b", args.get(), nullptr, errs.ptr()), -1);
    ASSERT_NE(errs.head(), nullptr);
    EXPECT_EQ(errs.head()->error_code, TUVOD_EIO);
    EXPECT_STREQ(errs.head()->error_string,
                 "Failed to execute insertion: UNIQUE constraint failed: CMDS.REQUEST_UUID\n");
    EXPECT_EQ(state_of("dup-1"), "RUNNING");
}

TEST_F(DbTest, ListPatterns) {
    open_db();
    ASSERT_EQ(start("l-1", "alpha"), 0);
    ASSERT_EQ(start("l-2", "alpha"), 0);
    ASSERT_EQ(start("l-3", "beta"), 0);
    ASSERT_EQ(complete("l-2"), 0);

    EXPECT_EQ(json_object_size(list("!%", "%").get()), 0u);
    json_ptr all = list("%", "%");
    EXPECT_EQ(json_object_size(all.get()), 3u);
    EXPECT_STREQ(json_string_value(json_object_get(all.get(), "l-2")), "COMPLETE");

    json_ptr running = list("%", "running");
    EXPECT_EQ(json_object_size(running.get()), 2u);
    EXPECT_NE(json_object_get(running.get(), "l-1"), nullptr);
    EXPECT_NE(json_object_get(running.get(), "l-3"), nullptr);

    json_ptr not_alpha = list("!alpha", "%");
    EXPECT_EQ(json_object_size(not_alpha.get()), 1u);
    EXPECT_NE(json_object_get(not_alpha.get(), "l-3"), nullptr);

    json_ptr alpha_done = list("alph_", "!RUNNING");
    EXPECT_EQ(json_object_size(alpha_done.get()), 1u);
    EXPECT_NE(json_object_get(alpha_done.get(), "l-2"), nullptr);
}

TEST_F(DbTest, DeleteSparesProtectedState) {
    open_db();
    ASSERT_EQ(start("d-1"), 0);
    EXPECT_EQ(tuvod_db_delete_cmd(&tuvod_, "d-1", "RUNNING"), -1);
    EXPECT_EQ(state_of("d-1"), "RUNNING");
    EXPECT_NE(log_.raw().find("Unable to delete 'd-1'\n"), std::string::npos) << log_.raw();

    EXPECT_EQ(tuvod_db_delete_cmd(&tuvod_, "d-1", ""), 0);
    EXPECT_EQ(state_of("d-1"), "");
    EXPECT_EQ(tuvod_db_delete_cmd(&tuvod_, "d-1", ""), -1);

    // A finished command is not protected by "RUNNING".
    ASSERT_EQ(start("d-2"), 0);
    ASSERT_EQ(complete("d-2"), 0);
    EXPECT_EQ(tuvod_db_delete_cmd(&tuvod_, "d-2", "RUNNING"), 0);
}

TEST_F(DbTest, QuotesInValuesCannotBreakStatements) {
    open_db();
    const char *uuid = "it's'); DROP TABLE CMDS; --";
    ASSERT_EQ(start(uuid, "o'brien"), 0);
    json_ptr out(json_pack("{s:s}", "stdout", "it's done"));
    error_stack errs;
    ASSERT_EQ(tuvod_db_complete_cmd(&tuvod_, uuid, TUVOD_EXEC_COMPLETE, out.get(), errs.ptr()), 0);
    char *name = nullptr;
    json_t *output = nullptr;
    ASSERT_EQ(tuvod_db_get_cmd(&tuvod_, uuid, nullptr, &name, nullptr, nullptr, nullptr, &output,
                               nullptr, errs.ptr()),
              0);
    cstr_ptr n(name);
    json_ptr o(output);
    EXPECT_STREQ(name, "o'brien");
    EXPECT_TRUE(json_equal(output, out.get()));
    json_ptr all = list("o'%", "%");
    EXPECT_NE(json_object_get(all.get(), uuid), nullptr);
    EXPECT_EQ(tuvod_db_delete_cmd(&tuvod_, uuid, "RUNNING"), 0);
}

// The stored texts are exactly the compact JSON of the values, whatever
// bytes they hold, and the start and finish times handed back are those stored.
TEST_F(DbTest, StoredTextIsTheCompactJsonOfTheValues) {
    open_db();
    const char raw_out[] = "quote\" back\\ nul\0 ctl\x01 caf\xc3\xa9 '";
    json_ptr args(json_pack("[s, s]", "/opt/x", "a'b\"c"));
    json_ptr out(json_pack("{s:n, s:s%, s:s}", "exitStatus", "stdout", raw_out, sizeof raw_out - 1, "stderr", "\t"));
    error_stack errs;
    char *start = nullptr, *finish = nullptr;
    ASSERT_EQ(tuvod_db_start_cmd(&tuvod_, "bytes-1", "x", args.get(), nullptr, errs.ptr(), &start), 0);
    cstr_ptr start_owned(start);
    ASSERT_EQ(tuvod_db_complete_cmd(&tuvod_, "bytes-1", TUVOD_EXEC_TIMEDOUT, out.get(), errs.ptr(), &finish), 0);
    cstr_ptr finish_owned(finish);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT ARGS, RESULT, STATE, START_TIME, FINISH_TIME, typeof(RESULT) FROM CMDS", -1,
                                 &stmt, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    auto column = [&](int i) {
        return std::string(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)),
                           static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
    };
    cstr_ptr args_text(json_dumps(args.get(), JSON_COMPACT));
    cstr_ptr out_text(json_dumps(out.get(), JSON_COMPACT));
    EXPECT_EQ(column(0), args_text.get());
    EXPECT_EQ(column(1), out_text.get());
    EXPECT_EQ(column(2), "TIMEDOUT");
    EXPECT_EQ(column(3), start);
    EXPECT_EQ(column(4), finish);
    EXPECT_EQ(column(5), "text");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

// Every thread runs whole command lives at once against the shared connection
// and the per-delete connections; a lock conflict must wait, never fail.
TEST_F(DbTest, ConcurrentCommandLivesAllSucceed) {
    open_db();
    constexpr int n_threads = 8;
    constexpr int n_cmds = 500;
    std::atomic<int> failures{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n_threads; t++) {
        threads.emplace_back([&, t] {
            ready++;
            while (ready.load() < n_threads)
                std::this_thread::yield();
            for (int i = 0; i < n_cmds; i++) {
                std::string uuid = "c-" + std::to_string(t) + "-" + std::to_string(i);
                if (start(uuid.c_str()) != 0 || complete(uuid.c_str()) != 0 ||
                    state_of(uuid.c_str()) != "COMPLETE" ||
                    tuvod_db_delete_cmd(&tuvod_, uuid.c_str(), "") != 0)
                    failures++;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0) << log_.raw().substr(0, 2000);
    EXPECT_EQ(json_object_size(list("%", "%").get()), 0u);
}
