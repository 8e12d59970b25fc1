// Writes handed in while a commit is under way share the next commit; a
// write that fails inside a shared transaction fails alone.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "groupcommit.hpp"

namespace {

pthread_mutex_t test_db_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> release_first{false};
std::atomic<bool> first_inside{false};

int insert_value(sqlite3 *db, void *arg, std::string *errmsg) {
    std::string sql = "INSERT INTO t VALUES (" + std::to_string(*static_cast<int *>(arg)) + ");";
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        *errmsg = sqlite3_errmsg(db);
    return rc;
}

// The first write holds the commit until the test lets it go.
int held_insert(sqlite3 *db, void *arg, std::string *errmsg) {
    first_inside = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!release_first && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return insert_value(db, arg, errmsg);
}

class GroupCommit : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/groupcommit.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(sqlite3_open((dir_ + "/t.db").c_str(), &db_), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db_, "PRAGMA journal_mode=WAL; CREATE TABLE t (x INTEGER PRIMARY KEY);", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
    }
    void TearDown() override {
        sqlite3_close(db_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir_;
    }
    long long count() {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db_, "SELECT count(*) FROM t;", -1, &st, nullptr);
        long long n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return n;
    }

    std::string dir_;
    sqlite3 *db_ = nullptr;
};

TEST_F(GroupCommit, WritesWaitingDuringACommitShareTheNextAndFailuresStayTheirOwn) {
    unsigned long long commits0 = 0, writes0 = 0;
    group_commit_counts(&commits0, &writes0);
    release_first = false;
    first_inside = false;
    int first_value = 1;
    std::string first_err;
    std::thread first([&] { EXPECT_EQ(group_commit(&db_, &test_db_mutex, held_insert, &first_value, &first_err), SQLITE_OK); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!first_inside && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(first_inside);

    // Four writes queue behind it; one repeats the first's key and must fail.
    std::vector<int> values = {2, 3, 1, 4};
    std::vector<int> rcs(values.size(), -1);
    std::vector<std::string> errs(values.size());
    std::vector<std::thread> others;
    for (size_t i = 0; i < values.size(); i++)
        others.emplace_back([&, i] { rcs[i] = group_commit(&db_, &test_db_mutex, insert_value, &values[i], &errs[i]); });
    while (group_commit_waiting() < values.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(group_commit_waiting(), values.size());
    release_first = true;
    first.join();
    for (auto &t : others)
        t.join();

    EXPECT_EQ(rcs[0], SQLITE_OK);
    EXPECT_EQ(rcs[1], SQLITE_OK);
    EXPECT_EQ(rcs[2], SQLITE_CONSTRAINT) << errs[2];
    EXPECT_NE(errs[2].find("UNIQUE"), std::string::npos) << errs[2];
    EXPECT_EQ(rcs[3], SQLITE_OK);
    EXPECT_EQ(count(), 4);
    unsigned long long commits = 0, writes = 0;
    group_commit_counts(&commits, &writes);
    EXPECT_EQ(commits - commits0, 1u);
    EXPECT_EQ(writes - writes0, 4u);
}

TEST_F(GroupCommit, ClosedConnectionFailsTheWrite) {
    sqlite3 *closed = nullptr;
    int v = 9;
    std::string err;
    EXPECT_NE(group_commit(&closed, &test_db_mutex, insert_value, &v, &err), SQLITE_OK);
    EXPECT_EQ(err, "command database is not open");
}

} // namespace
