// The daemon killed outright (SIGKILL) at each point of a run, then started
// again: every run that started is in the execution log with its outcome or
// recorded LOST, no synchronous run is left COMPLETE in the database after
// its reply, and neither the execution log nor the database is half-written.
// Points are reached through gate files the scripts wait for, the records'
// states, and a write lock on the database held from outside, which stops
// the daemon right after a run's outcome reached the execution log.
#include <signal.h>
#include <sqlite3.h>

#include <cctype>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::exec;
using e2e::result_of;
using e2e::state_of;
using e2e::str;
using e2e::text_of;

json_ptr get(Client &c, const std::string &id, bool peek) {
    return c.call("get", json_pack("{s:[s], s:b}", "properties", "state", "peek", peek), id);
}

// Sends an execute and does not wait for its answer: the daemon is killed first.
bool send_exec(Client &c, const std::string &path, bool async, const std::string &id) {
    json_ptr req(json_pack("{s:s, s:s, s:s, s:{s:[s], s:b}}", "requestUUID", id.c_str(), "authority",
                           "test", "op", "execute", "args", "argv", path.c_str(), "asynchronous", async));
    cstr_ptr text(req ? json_dumps(req.get(), JSON_COMPACT) : nullptr);
    return text && c.send_raw(std::string(text.get()) + '\0');
}

// Every record of the execution log, in order; *whole is false when the
// text ends in something that is not a whole record.
std::vector<json_ptr> log_records(const std::string &text, bool *whole) {
    std::vector<json_ptr> records;
    *whole = true;
    size_t at = 0;
    for (;;) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            at++;
        if (at == text.size())
            return records;
        json_error_t err;
        json_t *v = json_loadb(text.data() + at, text.size() - at, JSON_DISABLE_EOF_CHECK, &err);
        if (v == nullptr) {
            *whole = false;
            return records;
        }
        records.emplace_back(v);
        at += err.position;
    }
}

// The database held locked for writing from outside while the object lives
// (released early by release()); the daemon's writes wait meanwhile.
class db_write_lock {
  public:
    explicit db_write_lock(const std::string &path) {
        if (sqlite3_open(path.c_str(), &db_) == SQLITE_OK)
            locked_ = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~db_write_lock() { release(); }
    db_write_lock(const db_write_lock &) = delete;
    db_write_lock &operator=(const db_write_lock &) = delete;
    bool locked() const { return locked_; }
    void release() {
        if (locked_)
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        locked_ = false;
        sqlite3_close(db_);
        db_ = nullptr;
    }

  private:
    sqlite3 *db_ = nullptr;
    bool locked_ = false;
};

class Crash : public e2e::DaemonTest {
  protected:
    void prepare() override {
        started_ = sb_->root + "/started";
        gate_ = sb_->root + "/gate";
        // Says it started, then waits for the gate (removed by each phase).
        gated_ = sb_->add_script({.name = "gated",
                                  .body = "echo \"$$\" >> " + started_ + "; while [ ! -e " + gate_ +
                                          " ]; do sleep 0.02; done; echo out",
                                  .timeout = 60,
                                  .concurrent = false});
        quick_ = sb_->add_script({.name = "quick", .body = "echo quick"});
        ASSERT_NO_FATAL_FAILURE(start());
    }

    std::string exec_log() const { return e2e::read_file(sb_->log_dir + "/tuvod_exec.log"); }
    std::string db_path() const { return sb_->cache_dir + "/tuvod.db"; }
    size_t started_count() const {
        std::string s = e2e::read_file(started_);
        size_t n = 0;
        for (char ch : s)
            n += ch == '\n';
        return n;
    }

    // The outcome the execution log holds for id ("" when none) and how
    // many records it has for id.
    std::string logged_state(const std::string &id, int *count = nullptr) const {
        bool whole = false;
        std::string state;
        int n = 0;
        for (const auto &r : log_records(exec_log(), &whole)) {
            const char *uuid = str(r.get(), "UUID");
            if (uuid != nullptr && id == uuid) {
                n++;
                const char *s = str(r.get(), "state");
                state = s != nullptr ? s : "?";
            }
        }
        if (count != nullptr)
            *count = n;
        return state;
    }

    void kill_and_restart() {
        d_->signal(SIGKILL);
        ASSERT_EQ(d_->wait_exit(), 128 + SIGKILL);
        ASSERT_NO_FATAL_FAILURE(start());
    }

    std::string started_, gate_, gated_, quick_;
};

// Killed with one run going and one recorded but waiting for its turn:
// both are LOST, neither reached the execution log.
TEST_F(Crash, RunsGoingOrRecordedWhenKilledAreLost) {
    std::string running = e2e::new_uuid(), waiting = e2e::new_uuid();
    {
        // Closed before the restart: a requesting socket would send its
        // request again to the new instance.
        Client a, b, c;
        ASSERT_TRUE(send_exec(a, gated_, false, running));
        ASSERT_TRUE(e2e::wait_until([&] { return started_count() == 1; }, 10000));
        ASSERT_TRUE(send_exec(b, gated_, false, waiting));
        ASSERT_TRUE(e2e::wait_until([&] { return state_of(get(c, waiting, true)) == "RUNNING"; }, 10000));
        d_->signal(SIGKILL);
        ASSERT_EQ(d_->wait_exit(), 128 + SIGKILL);
    }
    ASSERT_NO_FATAL_FAILURE(start());

    Client after;
    EXPECT_EQ(state_of(get(after, running, false)), "LOST");
    EXPECT_EQ(state_of(get(after, waiting, false)), "LOST");
    EXPECT_EQ(logged_state(running), "");
    EXPECT_EQ(logged_state(waiting), "");
    EXPECT_EQ(started_count(), 1u) << "the waiting run must not start";
}

// Killed after a run's outcome reached the execution log and before its
// answer: the log holds the outcome once, and the database shows the run
// LOST, never COMPLETE. An asynchronous run killed after its completion
// keeps it in both.
TEST_F(Crash, OutcomeLoggedBeforeTheAnswerSurvives) {
    Client c, peek;
    std::string sync_id = e2e::new_uuid(), async_id = e2e::new_uuid();
    ASSERT_EQ(state_of(exec(c, {gated_}, true, async_id)), "RUNNING");
    ASSERT_TRUE(e2e::wait_until([&] { return started_count() == 1; }, 10000));
    sb_->write(gate_, "");
    ASSERT_TRUE(e2e::wait_until([&] { return logged_state(async_id) == "COMPLETE"; }, 10000)) << exec_log();
    EXPECT_EQ(state_of(get(peek, async_id, true)), "COMPLETE");
    std::remove(gate_.c_str());

    {
        // Closed before the restart, so that the request is not sent again.
        Client s;
        ASSERT_TRUE(send_exec(s, gated_, false, sync_id));
        ASSERT_TRUE(e2e::wait_until([&] { return started_count() == 2; }, 10000));
        db_write_lock lock(db_path());
        ASSERT_TRUE(lock.locked());
        sb_->write(gate_, "");
        ASSERT_TRUE(e2e::wait_until([&] { return logged_state(sync_id) == "COMPLETE"; }, 10000)) << exec_log();
        EXPECT_FALSE(s.recv_raw(200).has_value()) << "answered before its record was retired";
        d_->signal(SIGKILL);
        ASSERT_EQ(d_->wait_exit(), 128 + SIGKILL);
    }
    ASSERT_NO_FATAL_FAILURE(start());

    Client after;
    EXPECT_EQ(state_of(get(after, sync_id, false)), "LOST");
    EXPECT_EQ(state_of(get(after, async_id, false)), "COMPLETE");
    int n = 0;
    EXPECT_EQ(logged_state(sync_id, &n), "COMPLETE");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(logged_state(async_id, &n), "COMPLETE");
    EXPECT_EQ(n, 1);
}

// Killed after answers: the synchronous runs are in the execution log and
// nowhere in the database; every record is whole and the database is sound.
TEST_F(Crash, AnsweredRunsAreLoggedAndGoneFromTheDatabase) {
    std::vector<std::string> ids;
    {
        Client c;
        for (int i = 0; i < 5; i++) {
            ids.push_back(e2e::new_uuid());
            json_ptr r = exec(c, {quick_}, false, ids.back());
            ASSERT_EQ(state_of(r), "COMPLETE") << text_of(r);
        }
    }
    ASSERT_NO_FATAL_FAILURE(kill_and_restart());

    Client after;
    json_ptr all = after.call("list", json_object());
    EXPECT_EQ(json_object_size(result_of(all)), 0u) << text_of(all);
    for (const auto &id : ids) {
        int n = 0;
        EXPECT_EQ(logged_state(id, &n), "COMPLETE") << id;
        EXPECT_EQ(n, 1) << id;
    }
    bool whole = false;
    log_records(exec_log(), &whole);
    EXPECT_TRUE(whole) << exec_log();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string check;
    sqlite3_exec(
        db, "PRAGMA integrity_check;",
        [](void *out, int, char **v, char **) {
            *static_cast<std::string *>(out) += v[0] != nullptr ? v[0] : "";
            return 0;
        },
        &check, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(check, "ok");
}

} // namespace
