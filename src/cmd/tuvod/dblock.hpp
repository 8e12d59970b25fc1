// One daemon per command database: an exclusive lock on "<database>.lock",
// taken before anything in the database is touched and held until it is
// closed, so a second instance (another PID file, another configuration)
// cannot mark the running instance's commands LOST.
#pragma once

// Takes the lock of db_filename and writes this process's ID into the lock
// file. 0; 1 when another process holds it (logged, naming its PID); -1 on
// any other failure (logged).
int tuvod_db_lock_take(const char *db_filename);
// Drops the lock of db_filename, if this process holds it.
void tuvod_db_lock_release(const char *db_filename);
