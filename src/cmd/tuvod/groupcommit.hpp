// Writes of several threads sharing one commit, and so one disk sync.
//
// Every commit of the command database waits for a sync of its write-ahead
// log, and the writes of all threads are serialised on the database's
// mutex: under load each request paid its own sync in turn. A thread that
// hands in a write while another thread is committing waits; when that
// commit is over, one of the waiting threads takes every write handed in
// meanwhile and runs them in one transaction with one commit. A write
// alone is run as before, in its own implicit transaction.
//
// Each caller returns only once its write is committed (durable, as the
// connection's synchronous setting makes every commit) or failed, so what
// a caller does next (start a script, answer) still follows its own
// durable write. A write that fails inside a shared transaction is undone
// alone (SQLite's statement rollback) unless the failure ends the whole
// transaction (a full disk, an I/O error): then every write of the batch
// fails, and each caller is told, as a lone write would have been.
#pragma once

#include <pthread.h>
#include <sqlite3.h>

#include <string>

// One write: runs on db (its mutex held); SQLITE_OK, or an error code with
// the text in *errmsg.
using group_write_fn = int (*)(sqlite3 *db, void *arg, std::string *errmsg);

// Runs fn(*dbp, arg, errmsg) in a commit shared with the writes other
// threads hand in meanwhile for the same connection; db_mutex guards every
// use of the connection (and *dbp, which the close clears under it) and is
// held for the whole transaction. SQLITE_OK once committed, else the error
// code (the write's own, or the transaction's) with its text in *errmsg.
int group_commit(sqlite3 *const *dbp, pthread_mutex_t *db_mutex, group_write_fn fn, void *arg,
                 std::string *errmsg);

// Writes handed in and waiting for their commit to begin.
size_t group_commit_waiting();

// How many transactions held more than one write, and how many writes they
// held, since start (for tests and the benchmark's figures).
void group_commit_counts(unsigned long long *shared_commits, unsigned long long *shared_writes);
