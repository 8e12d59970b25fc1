// The retention sweep on a real database file: only final records whose end
// lies beyond the retention go, in batches, whatever their stamps' offsets.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/time.h>

#include <ctime>
#include <string>

#include "db.hpp"
#include "handles.hpp"
#include "log_sandbox.hpp"
#include "retention.hpp"
#include "utils.hpp"

namespace {

// A stored stamp for now minus ago seconds, in local time as the daemon writes it.
std::string local_stamp(long ago) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    tv.tv_sec -= ago;
    cstr_ptr s(time_str(&tv));
    return s.get();
}

// The same instant written with a +14:00 offset (as another zone would).
std::string far_east_stamp(long ago) {
    time_t t = time(nullptr) - ago + 14 * 3600;
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000+1400", &tm);
    return buf;
}

class Retention : public testing::Test {
  protected:
    void SetUp() override {
        path_ = log_.path("tuvod.db");
        tuvod_.cmd_db_filename = path_.c_str();
        ASSERT_EQ(tuvod_cmd_db_open(&tuvod_), 0) << log_.raw();
        ASSERT_EQ(sqlite3_open(path_.c_str(), &raw_), SQLITE_OK);
    }
    void TearDown() override {
        sqlite3_close(raw_);
        tuvod_cmd_db_close(&tuvod_);
    }
    void row(const std::string &id, const char *state, const std::string &start, const char *finish) {
        char *sql = sqlite3_mprintf("INSERT INTO CMDS (REQUEST_UUID, NAME, STATE, ARGS, START_TIME, RESULT, ERRORS, FINISH_TIME) VALUES (%Q, 'n', %Q, '[]', %Q, NULL, NULL, %Q);",
                                    id.c_str(), state, start.c_str(), finish);
        char *err = nullptr;
        EXPECT_EQ(sqlite3_exec(raw_, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_free(sql);
    }
    int count() {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(raw_, "SELECT COUNT(*) FROM CMDS;", -1, &st, nullptr);
        sqlite3_step(st);
        int n = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        return n;
    }
    bool has(const char *id) {
        char *state = nullptr;
        int rc = tuvod_db_get_cmd(&tuvod_, id, &state, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
        free(state);
        return rc == 0;
    }

    log_sandbox log_;
    std::string path_;
    tuvod_state_t tuvod_;
    sqlite3 *raw_ = nullptr;
};

TEST_F(Retention, OnlyOldFinalRecordsGoInBatches) {
    const long day = 86400;
    std::string old = local_stamp(2 * day);
    sqlite3_exec(raw_, "BEGIN;", nullptr, nullptr, nullptr);
    for (int i = 0; i < 1203; i++)
        row("old-" + std::to_string(i), "COMPLETE", old, old.c_str());
    sqlite3_exec(raw_, "COMMIT;", nullptr, nullptr, nullptr);
    row("old-lost", "LOST", old, nullptr);
    row("old-running", "RUNNING", old, nullptr);
    row("ended-recently", "TIMEDOUT", old, local_stamp(600).c_str());
    row("far-east-old", "DIED", far_east_stamp(2 * 3600), far_east_stamp(2 * 3600).c_str());
    row("far-east-new", "DIED", far_east_stamp(60), far_east_stamp(60).c_str());
    row("garbled", "COMPLETE", "yesterday", "yesterday");

    EXPECT_EQ(tuvod_sweep_once(&tuvod_, 3600), 1203 + 2);
    EXPECT_EQ(count(), 4);
    for (const char *kept : {"old-running", "ended-recently", "far-east-new", "garbled"})
        EXPECT_TRUE(has(kept)) << kept;
    EXPECT_NE(log_.raw().find("Removed 1205 finished command records older than 3600 seconds"),
              std::string::npos);
    EXPECT_EQ(tuvod_sweep_once(&tuvod_, 3600), 0);
}

TEST(RetentionConfig, DefaultKeepsAndInvalidValuesKeep) {
    log_sandbox log;
    tuvod_state_t st;
    json_ptr conf(json_object());
    st.config_js = conf.get();
    // Without the key nothing is removed; a bad value keeps records too.
    EXPECT_EQ(tuvod_retention_seconds(&st), 0);
    json_object_set_new(conf.get(), "resultRetentionSeconds", json_integer(86400));
    EXPECT_EQ(tuvod_retention_seconds(&st), 86400);
    json_object_set_new(conf.get(), "resultRetentionSeconds", json_integer(-5));
    EXPECT_EQ(tuvod_retention_seconds(&st), 0);
    json_object_set_new(conf.get(), "resultRetentionSeconds", json_string("1d"));
    EXPECT_EQ(tuvod_retention_seconds(&st), 0);
    EXPECT_NE(log.raw().find("resultRetentionSeconds must be a number of seconds (0: keep until collected); "
                             "using 0"),
              std::string::npos);
    st.config_js = nullptr;
    EXPECT_EQ(tuvod_sweep_interval(2), 1);
    EXPECT_EQ(tuvod_sweep_interval(7 * 86400), 3600);
    EXPECT_EQ(tuvod_sweep_interval(600), 300);
}

} // namespace
