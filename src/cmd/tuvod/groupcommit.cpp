// See groupcommit.hpp. The queue's lock is never held while the database's
// mutex is taken or a statement runs; the committing thread takes the
// whole queue at once, so a write waits for at most the commit in progress
// and its own.
#include "groupcommit.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "utils.hpp"

namespace {

struct pending_write {
    sqlite3 *const *dbp;
    group_write_fn fn;
    void *arg;
    std::string *errmsg;
    int rc = SQLITE_OK;
    bool done = false;
};

// Never destroyed: a thread may still hand in a write at exit.
struct write_queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<pending_write *> waiting;
    bool committing = false;
};

write_queue &queue() {
    static auto *q = new write_queue;
    return *q;
}

std::atomic<unsigned long long> shared_commit_count{0};
std::atomic<unsigned long long> shared_write_count{0};

int exec_text(sqlite3 *db, const char *sql, std::string *errmsg) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        *errmsg = sqlite3_errmsg(db);
    return rc;
}

void fail_all(const std::vector<pending_write *> &batch, int rc, const std::string &why) {
    for (pending_write *w : batch)
        if (w->rc == SQLITE_OK) {
            w->rc = rc;
            *w->errmsg = why;
        }
}

// Runs the writes in one transaction; each write's outcome on it.
void commit_shared(sqlite3 *db, const std::vector<pending_write *> &batch) {
    std::string why;
    int rc = exec_text(db, "BEGIN IMMEDIATE;", &why);
    if (rc != SQLITE_OK) {
        fail_all(batch, rc, why);
        return;
    }
    for (pending_write *w : batch) {
        w->rc = w->fn(db, w->arg, w->errmsg);
        // The failure ended the transaction: nothing of the batch remains.
        if (w->rc != SQLITE_OK && sqlite3_get_autocommit(db) != 0) {
            fail_all(batch, w->rc, *w->errmsg);
            return;
        }
    }
    rc = exec_text(db, "COMMIT;", &why);
    if (rc != SQLITE_OK) {
        if (sqlite3_get_autocommit(db) == 0)
            sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        fail_all(batch, rc, why);
        return;
    }
    shared_commit_count++;
    shared_write_count += batch.size();
}

// Writes for one connection, under its mutex.
void commit_one_db(sqlite3 *const *dbp, pthread_mutex_t *db_mutex, const std::vector<pending_write *> &batch) {
    mutex_guard lock(db_mutex);
    sqlite3 *db = *dbp;
    if (db == nullptr)
        fail_all(batch, SQLITE_MISUSE, "command database is not open");
    else if (batch.size() == 1)
        batch.front()->rc = batch.front()->fn(db, batch.front()->arg, batch.front()->errmsg);
    else
        commit_shared(db, batch);
}

// The batch split by connection (one in the daemon; tests open several).
void commit_batch(pthread_mutex_t *db_mutex, const std::vector<pending_write *> &batch) {
    std::vector<pending_write *> left = batch;
    while (!left.empty()) {
        sqlite3 *const *dbp = left.front()->dbp;
        std::vector<pending_write *> same, other;
        for (pending_write *w : left)
            (w->dbp == dbp ? same : other).push_back(w);
        commit_one_db(dbp, db_mutex, same);
        left.swap(other);
    }
}

} // namespace

int group_commit(sqlite3 *const *dbp, pthread_mutex_t *db_mutex, group_write_fn fn, void *arg,
                 std::string *errmsg) {
    pending_write me{dbp, fn, arg, errmsg};
    write_queue &q = queue();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.waiting.push_back(&me);
    while (!me.done) {
        if (q.committing) {
            q.cv.wait(lock);
            continue;
        }
        q.committing = true;
        std::vector<pending_write *> batch;
        batch.swap(q.waiting);
        lock.unlock();
        commit_batch(db_mutex, batch);
        lock.lock();
        for (pending_write *w : batch)
            w->done = true;
        q.committing = false;
        q.cv.notify_all();
    }
    return me.rc;
}

size_t group_commit_waiting() {
    write_queue &q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return q.waiting.size();
}

void group_commit_counts(unsigned long long *shared_commits, unsigned long long *shared_writes) {
    *shared_commits = shared_commit_count.load();
    *shared_writes = shared_write_count.load();
}
