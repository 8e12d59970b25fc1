// The command database: table CMDS, one row per request.
//
// One shared connection (tuvod->tuvod_cmd_db) serves every thread. SQLite
// serialises single calls on a connection, but a statement lives across
// several calls, and statements of different threads that interleave inside
// the connection's implicit transaction make a write fail at once with
// SQLITE_BUSY when it meets another connection's commit (SQLite refuses to
// upgrade a read to a write then, busy handler or not). So every statement on
// the shared connection runs from prepare (or exec) to finalize under
// db_mutex, and the error text is read before the lock is dropped.
//
// Deletes run on the shared connection too: a connection opened per delete
// paid a directory sync with its first write-ahead-log write and read the
// schema again, on every synchronous run. Insertions, completions and
// deletes of several threads share commits (see groupcommit.hpp), so runs
// that start or end together share a sync. The connection still waits up to
// DB_BUSY_TIMEOUT_MS for a lock another process holds. The file is kept in
// write-ahead-log mode with full syncs: each commit is durable and readers
// do not block the writer.
#include "db.hpp"


#include <sqlite3.h>
#include <strings.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

#include "caller.hpp"
#include "dblock.hpp"
#include "error.hpp"
#include "files.hpp"
#include "groupcommit.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "jsondump.hpp"
#include "utils.hpp"
#include "wire.hpp"

namespace {

constexpr int DB_BUSY_TIMEOUT_MS = 5000;

// Guards every statement on the shared connection; never held with another lock
// of the daemon except the logging locks.
pthread_mutex_t db_mutex = PTHREAD_MUTEX_INITIALIZER;

// Statement texts are part of the file format other tools read; keep them as they are.
constexpr const char create_cmds_table[] =
    "CREATE TABLE IF NOT EXISTS CMDS (    REQUEST_UUID TEXT PRIMARY KEY NOT NULL,    NAME TEXT "
    "NOT NULL,    STATE TEXT NOT NULL,    ARGS TEXT NOT NULL,    START_TIME TEXT NOT NULL,    "
    "RESULT TEXT,    ERRORS TEXT,    FINISH_TIME TEXT);";
constexpr const char update_state_fmt[] = "UPDATE CMDS SET STATE = %Q WHERE STATE IS %Q";
// Insertion and completion carry client text and whole outputs: bound
// parameters, so nothing is copied into a statement text and no value can
// break the statement whatever its size.
constexpr const char add_cmd_sql[] =
    "INSERT INTO CMDS (    REQUEST_UUID,    NAME,    STATE,    ARGS,    START_TIME,    CALLER) "
    "VALUES (?, ?, ?, ?, ?, ?);";
// Files made before callers were recorded gain the column at open; their
// older rows have none.
constexpr const char has_caller_sql[] = "SELECT 1 FROM pragma_table_info('CMDS') WHERE name = 'CALLER';";
constexpr const char add_caller_sql[] = "ALTER TABLE CMDS ADD COLUMN CALLER TEXT;";
constexpr const char select_caller_sql[] = "SELECT CALLER FROM CMDS WHERE REQUEST_UUID = ? LIMIT 1;";
constexpr const char update_result_sql[] =
    "UPDATE CMDS SET RESULT = ?, ERRORS= ?, STATE = ?, FINISH_TIME = ? WHERE REQUEST_UUID IS "
    "?";
constexpr const char update_state_for_uuid_fmt[] =
    "UPDATE CMDS SET STATE = %Q WHERE REQUEST_UUID = %Q";
// Columns by name, in the order of cmds_column: CALLER's place depends on
// when the file gained it.
constexpr const char select_cmd_sql[] =
    "SELECT REQUEST_UUID, NAME, STATE, ARGS, START_TIME, RESULT, ERRORS, FINISH_TIME, CALLER FROM CMDS "
    "WHERE REQUEST_UUID = ? LIMIT 1;";
constexpr const char list_fmt[] =
    "SELECT REQUEST_UUID,STATE FROM CMDS WHERE NAME %sLIKE %Q AND STATE %sLIKE %Q;";
constexpr const char list_for_caller_fmt[] =
    "SELECT REQUEST_UUID,STATE FROM CMDS WHERE NAME %sLIKE %Q AND STATE %sLIKE %Q AND CALLER IS %Q;";
// Records no identity keeps to itself (see tuvod_caller_keeps_records).
constexpr const char list_shared_fmt[] =
    "SELECT REQUEST_UUID,STATE FROM CMDS WHERE NAME %sLIKE %Q AND STATE %sLIKE %Q AND (CALLER IS NULL OR "
    "(substr(CALLER, 1, 4) <> 'tls:' AND (substr(CALLER, 1, 10) <> 'local:uid=' OR CALLER = 'local:uid=0')));";
constexpr const char delete_fmt[] = "DELETE FROM CMDS WHERE REQUEST_UUID IS %Q AND NOT STATE IS %Q";

// Column positions of select_cmd_sql.
enum cmds_column : int {
    COL_REQUEST_UUID = 0,
    COL_NAME = 1,
    COL_STATE = 2,
    COL_ARGS = 3,
    COL_START_TIME = 4,
    COL_RESULT = 5,
    COL_ERRORS = 6,
    COL_FINISH_TIME = 7,
    COL_CALLER = 8,
    N_COLUMNS = 9,
};

struct sqlite_free_deleter {
    void operator()(void *p) const noexcept { sqlite3_free(p); }
};
struct stmt_finalizer {
    void operator()(sqlite3_stmt *s) const noexcept { sqlite3_finalize(s); }
};
struct db_closer {
    void operator()(sqlite3 *db) const noexcept { sqlite3_close(db); }
};
// Text from sqlite3_mprintf or an error text of sqlite3_exec.
using sql_text = std::unique_ptr<char, sqlite_free_deleter>;
using stmt_ptr = std::unique_ptr<sqlite3_stmt, stmt_finalizer>;
using db_ptr = std::unique_ptr<sqlite3, db_closer>;

const char *text_or_unknown(const char *text) { return text != nullptr ? text : "unknown error"; }

// The time stamp of error entries, as new malloc'd text; none on failure.
char *now_str() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return nullptr;
    return time_str(&now);
}

void log_statement(const char *sql) { PRINT_DEBUG(DEBUG_DB, "    %s\n", sql); }

// Opens a connection with its own SQLite mutex, a busy wait and full syncs.
// Logs and returns none on failure.
db_ptr open_connection(const char *filename) {
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(filename, &raw,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    db_ptr db(raw);
    if (rc != SQLITE_OK) {
        PRINT_INFO(INFO_ERROR, "Failed to open command database: %s\n",
                   raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(raw, DB_BUSY_TIMEOUT_MS);
    // Not stored in the file, so every connection sets it.
    char *err = nullptr;
    if (sqlite3_exec(raw, "PRAGMA synchronous=FULL;", nullptr, nullptr, &err) != SQLITE_OK)
        PRINT_INFO(INFO_WARN, "Unable to set full syncs on command database: %s\n",
                   text_or_unknown(err));
    sqlite3_free(err);
    // Deleted records (outputs, arguments) are overwritten, not left in free pages.
    err = nullptr;
    if (sqlite3_exec(raw, "PRAGMA secure_delete=ON;", nullptr, nullptr, &err) != SQLITE_OK)
        PRINT_INFO(INFO_WARN, "Unable to set secure deletion on command database: %s\n",
                   text_or_unknown(err));
    sqlite3_free(err);
    return db;
}

// Runs sql on the shared connection; SQLite's error text, if any, goes to errmsg.
int exec_shared(sqlite3 *db, const char *sql, sql_text *errmsg) {
    if (db == nullptr) {
        errmsg->reset(sqlite3_mprintf("command database is not open"));
        return -1;
    }
    char *err = nullptr;
    int rc;
    {
        mutex_guard lock(&db_mutex);
        rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    }
    errmsg->reset(err);
    return rc == SQLITE_OK ? 0 : -1;
}

// One bound parameter: text of len bytes, or SQL NULL for none.
struct bound_text {
    const char *text;
    size_t len;
};

bound_text bind_str(const char *text) { return {text, text != nullptr ? strlen(text) : 0}; }

struct bound_statement {
    const char *sql;
    std::initializer_list<bound_text> params;
};

// Runs one statement with bound text parameters (in place, not copied);
// the caller holds db_mutex. SQLITE_OK, or the code with SQLite's text.
int run_bound(sqlite3 *db, void *arg, std::string *errmsg) {
    const auto *st = static_cast<const bound_statement *>(arg);
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, st->sql, -1, &raw, nullptr);
    stmt_ptr stmt(raw);
    int i = 1;
    for (const bound_text &p : st->params) {
        if (rc != SQLITE_OK)
            break;
        rc = p.text != nullptr
                 ? sqlite3_bind_text64(raw, i, p.text, p.len, SQLITE_STATIC, SQLITE_UTF8)
                 : sqlite3_bind_null(raw, i);
        i++;
    }
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        }
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK)
        *errmsg = sqlite3_errmsg(db);
    return rc;
}

// Runs one writing statement with bound text parameters on the shared
// connection, in a commit shared with other threads' writes (see
// groupcommit.hpp); SQLite's error text goes to errmsg on failure.
int exec_bound(sqlite3 *const *dbp, const char *sql, std::initializer_list<bound_text> params,
               std::string *errmsg) {
    bound_statement st{sql, params};
    return group_commit(dbp, &db_mutex, run_bound, &st, errmsg) == SQLITE_OK ? 0 : -1;
}

int journal_mode_cb(void *mode, int n_cols, char **values, char **) {
    if (n_cols > 0 && values[0] != nullptr)
        *static_cast<std::string *>(mode) = values[0];
    return 0;
}

// The write-ahead log persists in the file, so a rollback-journal database
// converts on its first open here. Without it the database still works, only
// slower, so a failure is a warning.
void set_wal_mode(sqlite3 *db) {
    std::string mode;
    char *err = nullptr;
    int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL;", journal_mode_cb, &mode, &err);
    sql_text errmsg(err);
    if (rc != SQLITE_OK)
        PRINT_INFO(INFO_WARN, "Unable to set write-ahead log on command database: %s\n",
                   text_or_unknown(err));
    else if (strcasecmp(mode.c_str(), "wal") != 0)
        PRINT_INFO(INFO_WARN, "Command database stays in journal mode %s\n", mode.c_str());
}

// The shared connection is used by many threads at once; that needs a library
// built thread-safe and a connection in serialized mode.
int check_serialized(sqlite3 *db) {
    if (sqlite3_threadsafe() == 0 || sqlite3_db_mutex(db) == nullptr) {
        PRINT_INFO(INFO_ERROR, "SQLite library is not thread-safe in serialized mode; cannot "
                               "share the command database between threads\n");
        return -1;
    }
    return 0;
}

int has_row_cb(void *found, int, char **, char **) {
    *static_cast<bool *>(found) = true;
    return 0;
}

int add_caller_column(sqlite3 *db) {
    bool found = false;
    char *err = nullptr;
    if (sqlite3_exec(db, has_caller_sql, has_row_cb, &found, &err) == SQLITE_OK && !found)
        sqlite3_exec(db, add_caller_sql, nullptr, nullptr, &err);
    sql_text errmsg(err);
    if (errmsg) {
        PRINT_INFO(INFO_ERROR, "Failed to add the caller column: %s\n", errmsg.get());
        return -1;
    }
    return 0;
}

int create_and_mark_lost(sqlite3 *db) {
    sql_text errmsg;
    if (exec_shared(db, create_cmds_table, &errmsg) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create cmds table: %s\n", text_or_unknown(errmsg.get()));
        return -1;
    }
    if (add_caller_column(db) != 0)
        return -1;
    sql_text sql(sqlite3_mprintf(update_state_fmt, tuvod_exec_res_str(TUVOD_EXEC_LOST),
                                 tuvod_exec_res_str(TUVOD_EXEC_RUNNING)));
    if (!sql) {
        PRINT_INFO(INFO_ERROR, "Failed to update table\n");
        return -1;
    }
    PRINT_DEBUG(DEBUG_DB, "Marking previously running jobs as lost:\n");
    log_statement(sql.get());
    if (exec_shared(db, sql.get(), &errmsg) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to update table: %s\n", text_or_unknown(errmsg.get()));
        return -1;
    }
    return 0;
}

// Statements run on every request are prepared once per connection: parsing
// them again cost more than the lookup itself. Used and reset under
// db_mutex; finalised before the connection closes.
enum kept_id { KEPT_SELECT_CMD, KEPT_SELECT_CALLER, N_KEPT };
constexpr const char *const kept_sql[N_KEPT] = {select_cmd_sql, select_caller_sql};

struct kept_statements {
    sqlite3 *db = nullptr;
    stmt_ptr stmt[N_KEPT];
};
kept_statements kept; // guarded by db_mutex

void drop_kept_statements() {
    for (auto &s : kept.stmt)
        s.reset();
    kept.db = nullptr;
}

// A kept statement is reset when its use ends, so that it holds no read
// transaction open on the connection.
struct stmt_resetter {
    void operator()(sqlite3_stmt *s) const noexcept {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};
using kept_use = std::unique_ptr<sqlite3_stmt, stmt_resetter>;

// Under db_mutex: the kept statement id on db with uuid bound to its one
// parameter; none, with SQLite's text in errmsg, when it cannot be prepared.
kept_use use_kept(sqlite3 *db, kept_id id, const char *uuid, std::string *errmsg) {
    if (kept.db != db) {
        drop_kept_statements();
        kept.db = db;
    }
    stmt_ptr &slot = kept.stmt[id];
    if (!slot) {
        sqlite3_stmt *raw = nullptr;
        if (sqlite3_prepare_v3(db, kept_sql[id], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
            *errmsg = sqlite3_errmsg(db);
            sqlite3_finalize(raw);
            return nullptr;
        }
        slot.reset(raw);
    }
    kept_use use(slot.get());
    sqlite3_bind_text(use.get(), 1, uuid, -1, SQLITE_STATIC);
    return use;
}

// One row of select_cmd_sql, copied out so that the statement can be finalised
// before the values are used; a null column has no value.
struct cmd_row {
    std::optional<std::string> col[N_COLUMNS];

    const char *text(cmds_column c) const { return col[c] ? col[c]->c_str() : nullptr; }
    const char *text_or_empty(cmds_column c) const { return col[c] ? col[c]->c_str() : ""; }
};

enum class fetch_result { ROW, NO_ROW, PREPARE_FAILED, STEP_FAILED };

// Reads the record of uuid on the shared connection and copies its row.
fetch_result fetch_row(sqlite3 *db, const char *uuid, cmd_row *row, std::string *errmsg) {
    if (db == nullptr) {
        *errmsg = "command database is not open";
        return fetch_result::PREPARE_FAILED;
    }
    mutex_guard lock(&db_mutex);
    kept_use stmt = use_kept(db, KEPT_SELECT_CMD, uuid, errmsg);
    if (!stmt)
        return fetch_result::PREPARE_FAILED;
    sqlite3_stmt *raw = stmt.get();
    int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE)
        return fetch_result::NO_ROW;
    if (rc != SQLITE_ROW) {
        *errmsg = sqlite3_errmsg(db);
        return fetch_result::STEP_FAILED;
    }
    int n_cols = sqlite3_column_count(raw);
    for (int i = 0; i < N_COLUMNS && i < n_cols; i++) {
        const unsigned char *value = sqlite3_column_text(raw, i);
        if (value != nullptr)
            row->col[i] = reinterpret_cast<const char *>(value);
    }
    return fetch_result::ROW;
}

// A malloc'd copy of a column into *outp; -1 when it cannot be made.
int copy_column(const cmd_row &row, cmds_column c, char **outp) {
    const char *value = row.text(c);
    if (value == nullptr)
        return -1;
    *outp = strdup(value);
    return *outp != nullptr ? 0 : -1;
}

// Parses a JSON column into *outp; -1 with the parser's text in jerr on failure.
int load_column(const cmd_row &row, cmds_column c, json_t **outp, json_error_t *jerr) {
    const char *value = row.text(c);
    if (value == nullptr) {
        std::snprintf(jerr->text, sizeof jerr->text, "missing value");
        return -1;
    }
    // Stored outputs may hold NUL bytes, written as \u0000.
    *outp = json_loads(value, JSON_ALLOW_NUL, jerr);
    return *outp != nullptr ? 0 : -1;
}

// Fills the wanted out-parameters from a row in the documented order,
// stopping at the first failure.
int fill_out_params(const cmd_row &row, char **cmd_statep, char **cmd_namep, char **cmd_startp,
                    char **cmd_finishp, json_t **cmd_args_js, json_t **cmd_output_js,
                    json_t **cmd_errors_js, tuvod_error_t **errors) {
    const char *uuid = row.text_or_empty(COL_REQUEST_UUID);
    json_error_t jerr;
    if (cmd_statep != nullptr && copy_column(row, COL_STATE, cmd_statep) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set state\n"), -1;
    if (cmd_namep != nullptr && copy_column(row, COL_NAME, cmd_namep) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set name\n"), -1;
    if (cmd_args_js != nullptr && load_column(row, COL_ARGS, cmd_args_js, &jerr) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to load args for %s: %s",
                       uuid, jerr.text),
               -1;
    if (cmd_startp != nullptr && copy_column(row, COL_START_TIME, cmd_startp) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set start time\n"),
               -1;
    if (cmd_output_js != nullptr && row.col[COL_RESULT] &&
        load_column(row, COL_RESULT, cmd_output_js, &jerr) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                       "Unable to load results for %s: %s", uuid, jerr.text),
               -1;
    if (cmd_errors_js != nullptr && row.col[COL_ERRORS] &&
        load_column(row, COL_ERRORS, cmd_errors_js, &jerr) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                       "Unable to load results for %s: %s", uuid, jerr.text),
               -1;
    if (cmd_finishp != nullptr && row.col[COL_FINISH_TIME] &&
        copy_column(row, COL_FINISH_TIME, cmd_finishp) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set finish time\n"),
               -1;
    return 0;
}

// Fills cmds with REQUEST_UUID -> STATE for every row of a list query.
int collect_list(sqlite3 *db, const char *sql, json_t *cmds) {
    if (db == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to compile select: %s\n", "command database is not open");
        return -1;
    }
    mutex_guard lock(&db_mutex);
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        PRINT_INFO(INFO_ERROR, "Failed to compile select: %s\n", sqlite3_errmsg(db));
        sqlite3_finalize(raw);
        return -1;
    }
    stmt_ptr stmt(raw);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto *uuid = reinterpret_cast<const char *>(sqlite3_column_text(raw, 0));
        const auto *state = reinterpret_cast<const char *>(sqlite3_column_text(raw, 1));
        if (uuid == nullptr || state == nullptr ||
            json_object_set_new(cmds, uuid, json_string(state)) != 0) {
            PRINT_INFO(INFO_ERROR, "Unable to append command UUID array\n");
            return -1;
        }
    }
    if (rc != SQLITE_DONE) {
        PRINT_INFO(INFO_ERROR, "SQL select for list failed: %s\n", sqlite3_errmsg(db));
        return -1;
    }
    return 0;
}

// A leading '!' negates a LIKE pattern; returns the pattern without it.
const char *split_negation(const char *pattern, const char **not_word) {
    *not_word = "";
    if (pattern != nullptr && pattern[0] == '!') {
        *not_word = "NOT ";
        return pattern + 1;
    }
    return pattern;
}

} // namespace

namespace {

constexpr const char *db_file_suffixes[] = {"", "-wal", "-shm"};

// Outputs and arguments are private: the database and the files beside it
// are for the daemon's user alone. Files found wider are narrowed with a
// warning; files just made under a wider umask, silently.
void narrow_db_files(const char *filename, bool warn) {
    for (const char *suffix : db_file_suffixes) {
        std::string path = std::string(filename) + suffix;
        mode_t before = 0;
        int rc = narrow_file_mode(path.c_str(), 0600, &before);
        log_mode_narrowing(path.c_str(), rc, before, 0600, warn);
    }
}

} // namespace

char *tuvod_dump_compact_exact(const json_t *value, size_t *len) {
    size_t n = json_dumpb_fast(value, nullptr, 0, JSON_COMPACT);
    if (n == 0)
        return nullptr;
    auto *text = static_cast<char *>(malloc(n + 1));
    if (text == nullptr)
        return nullptr;
    json_dumpb_fast(value, text, n, JSON_COMPACT);
    text[n] = '\0';
    if (len != nullptr)
        *len = n;
    return text;
}

int tuvod_cmd_db_open(tuvod_state_t *tuvod) {
    tuvod->tuvod_cmd_db = nullptr;
    // Before any record is touched: the sweep below is only for a database
    // that no other instance is using.
    if (tuvod_db_lock_take(tuvod->cmd_db_filename) != 0)
        return -1;
    narrow_db_files(tuvod->cmd_db_filename, true);
    db_ptr db = open_connection(tuvod->cmd_db_filename);
    bool ok = db && check_serialized(db.get()) == 0;
    if (ok) {
        set_wal_mode(db.get());
        ok = create_and_mark_lost(db.get()) == 0;
    }
    if (!ok) {
        db.reset();
        tuvod_db_lock_release(tuvod->cmd_db_filename);
        return -1;
    }
    narrow_db_files(tuvod->cmd_db_filename, false);
    tuvod->tuvod_cmd_db = db.release();
    return 0;
}

int tuvod_cmd_db_close(tuvod_state_t *tuvod) {
    mutex_guard lock(&db_mutex);
    if (kept.db == tuvod->tuvod_cmd_db)
        drop_kept_statements();
    if (sqlite3_close(tuvod->tuvod_cmd_db) != SQLITE_OK) {
        PRINT_INFO(INFO_ERROR, "Failed to close DB\n");
        return -1;
    }
    tuvod->tuvod_cmd_db = nullptr;
    if (tuvod->cmd_db_filename != nullptr)
        tuvod_db_lock_release(tuvod->cmd_db_filename);
    return 0;
}

int tuvod_db_start_cmd(tuvod_state_t *tuvod, const char *request_uuid, const char *name,
                       json_t *args_js, const char *caller, tuvod_error_t **errors,
                       char **cmd_startp) {
    cstr_ptr args_text(args_js != nullptr ? json_dumps(args_js, JSON_COMPACT) : nullptr);
    if (!args_text)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                       "Failed to serialise args for %s\n", request_uuid),
               -1;
    cstr_ptr start(now_str());
    if (!start)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                       "Failed to create start time for %s\n", request_uuid),
               -1;
    PRINT_DEBUG(DEBUG_DB, "Add command to DB:\n");
    log_statement(add_cmd_sql);
    PRINT_DEBUG(DEBUG_DB, "    with %s, %s, %s, %s, %s\n", request_uuid, name,
                tuvod_exec_res_str(TUVOD_EXEC_RUNNING), args_text.get(), start.get());
    std::string errmsg;
    if (exec_bound(&tuvod->tuvod_cmd_db, add_cmd_sql,
                   {bind_str(request_uuid), bind_str(name),
                    bind_str(tuvod_exec_res_str(TUVOD_EXEC_RUNNING)), bind_str(args_text.get()),
                    bind_str(start.get()), bind_str(caller)},
                   &errmsg) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to execute insertion: %s\n",
                       errmsg.c_str()),
               -1;
    if (cmd_startp != nullptr)
        *cmd_startp = start.release();
    return 0;
}

int tuvod_db_complete_cmd_text(tuvod_state_t *tuvod, const char *request_uuid,
                               tuvod_exec_state_t cmd_state, const char *output_text,
                               size_t output_len, tuvod_error_t **errors, char **cmd_finishp) {
    cstr_ptr finish(now_str());
    if (!finish)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                       "Failed to create finish time for %s\n", request_uuid),
               -1;
    if (output_text == nullptr)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                       "Failed to serialise output for %s\n", request_uuid),
               -1;
    json_ptr errors_js(error_stack_json(errors != nullptr ? *errors : nullptr));
    cstr_ptr errors_text(errors_js ? json_dumps(errors_js.get(), JSON_COMPACT) : nullptr);
    errors_js.reset();
    if (!errors_text)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                       "Failed to serialise errors for %s\n", request_uuid),
               -1;
    PRINT_DEBUG(DEBUG_DB, "Set command to complete:\n");
    log_statement(update_result_sql);
    PRINT_DEBUG(DEBUG_DB, "    with %zu bytes of output, %s, %s, %s, %s\n", output_len,
                errors_text.get(), tuvod_exec_res_str(cmd_state), finish.get(), request_uuid);
    std::string errmsg;
    if (exec_bound(&tuvod->tuvod_cmd_db, update_result_sql,
                   {{output_text, output_len}, bind_str(errors_text.get()),
                    bind_str(tuvod_exec_res_str(cmd_state)), bind_str(finish.get()),
                    bind_str(request_uuid)},
                   &errmsg) != 0)
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to execute insertion: %s\n",
                       errmsg.c_str()),
               -1;
    if (cmd_finishp != nullptr)
        *cmd_finishp = finish.release();
    return 0;
}

int tuvod_db_complete_cmd(tuvod_state_t *tuvod, const char *request_uuid,
                          tuvod_exec_state_t cmd_state, json_t *output_js, tuvod_error_t **errors,
                          char **cmd_finishp) {
    size_t len = 0;
    cstr_ptr output_text(output_js != nullptr ? tuvod_dump_compact_exact(output_js, &len) : nullptr);
    if (!output_text)
        return set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                       "Failed to serialise output for %s\n", request_uuid),
               -1;
    return tuvod_db_complete_cmd_text(tuvod, request_uuid, cmd_state, output_text.get(), len,
                                      errors, cmd_finishp);
}

int tuvod_db_archive_cmd(tuvod_state_t *tuvod, const char *request_uuid, tuvod_error_t **errors) {
    sql_text sql(sqlite3_mprintf(update_state_for_uuid_fmt,
                                 tuvod_exec_res_str(TUVOD_EXEC_ARCHIVED), request_uuid));
    if (!sql)
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to construct SQL update\n"),
               -1;
    PRINT_DEBUG(DEBUG_DB, "Marking %s as archived:\n", request_uuid);
    log_statement(sql.get());
    sql_text errmsg;
    if (exec_shared(tuvod->tuvod_cmd_db, sql.get(), &errmsg) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to update table: %s\n", text_or_unknown(errmsg.get()));
        return -1;
    }
    return 0;
}

namespace {

// The record of request_uuid into the wanted out-parameters; with
// only_visible, a record the current caller may not see is answered as a
// missing one, before anything of it is read.
int get_cmd(tuvod_state_t *tuvod, const char *request_uuid, bool only_visible, char **cmd_statep,
            char **cmd_namep, char **cmd_startp, char **cmd_finishp, json_t **cmd_args_js,
            json_t **cmd_output_js, json_t **cmd_errors_js, tuvod_error_t **errors) {
    PRINT_DEBUG(DEBUG_DB, "Find UUID %s:\n", request_uuid);
    log_statement(select_cmd_sql);
    cmd_row row;
    std::string errmsg;
    switch (fetch_row(tuvod->tuvod_cmd_db, request_uuid, &row, &errmsg)) {
    case fetch_result::PREPARE_FAILED:
        return set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to compile select: %s\n",
                       errmsg.c_str()),
               -1;
    case fetch_result::NO_ROW:
        PRINT_DEBUG(DEBUG_DB, "No record of %s\n", request_uuid);
        return -1;
    case fetch_result::STEP_FAILED:
        PRINT_INFO(INFO_ERROR, "SQL select for get failed: %s\n", errmsg.c_str());
        return set_err(INFO_ERROR, errors, TUVOD_ENOENT, nullptr, "No operation '%s'",
                       request_uuid),
               -1;
    case fetch_result::ROW:
        break;
    }
    if (only_visible && !tuvod_caller_may_see(tuvod_current_caller(), row.text_or_empty(COL_CALLER)))
        return -1;
    PRINT_DEBUG(DEBUG_DB, "Found record for %s (%s) in state %s\n",
                row.text_or_empty(COL_REQUEST_UUID), row.text_or_empty(COL_NAME),
                row.text_or_empty(COL_STATE));
    return fill_out_params(row, cmd_statep, cmd_namep, cmd_startp, cmd_finishp, cmd_args_js,
                           cmd_output_js, cmd_errors_js, errors);
}

} // namespace

int tuvod_db_get_cmd(tuvod_state_t *tuvod, const char *request_uuid, char **cmd_statep,
                     char **cmd_namep, char **cmd_startp, char **cmd_finishp, json_t **cmd_args_js,
                     json_t **cmd_output_js, json_t **cmd_errors_js, tuvod_error_t **errors) {
    return get_cmd(tuvod, request_uuid, false, cmd_statep, cmd_namep, cmd_startp, cmd_finishp,
                   cmd_args_js, cmd_output_js, cmd_errors_js, errors);
}

int tuvod_db_get_visible_cmd(tuvod_state_t *tuvod, const char *request_uuid, char **cmd_statep,
                             char **cmd_namep, char **cmd_startp, char **cmd_finishp,
                             json_t **cmd_args_js, json_t **cmd_output_js, json_t **cmd_errors_js,
                             tuvod_error_t **errors) {
    return get_cmd(tuvod, request_uuid, true, cmd_statep, cmd_namep, cmd_startp, cmd_finishp,
                   cmd_args_js, cmd_output_js, cmd_errors_js, errors);
}

int tuvod_db_cmd_caller(tuvod_state_t *tuvod, const char *request_uuid, std::string *caller) {
    if (tuvod->tuvod_cmd_db == nullptr)
        return -1;
    mutex_guard lock(&db_mutex);
    std::string errmsg;
    kept_use stmt = use_kept(tuvod->tuvod_cmd_db, KEPT_SELECT_CALLER, request_uuid, &errmsg);
    if (!stmt)
        return -1;
    sqlite3_stmt *raw = stmt.get();
    if (sqlite3_step(raw) != SQLITE_ROW)
        return -1;
    const unsigned char *value = sqlite3_column_text(raw, 0);
    caller->assign(value != nullptr ? reinterpret_cast<const char *>(value) : "");
    return 0;
}

int tuvod_db_list_cmds(tuvod_state_t *tuvod, const char *name, const char *state,
                       json_t **cmds_js, const char *caller) {
    json_ptr cmds(json_object());
    *cmds_js = cmds.get();
    if (!cmds) {
        PRINT_INFO(INFO_ERROR, "Failed to create command UUID array\n");
        return -1;
    }
    const char *name_not = nullptr;
    const char *state_not = nullptr;
    const char *name_pattern = split_negation(name, &name_not);
    const char *state_pattern = split_negation(state, &state_not);
    record_scope scope = caller == nullptr ? record_scope::every : tuvod_record_scope_of(caller);
    sql_text sql(scope == record_scope::every
                     ? sqlite3_mprintf(list_fmt, name_not, name_pattern, state_not, state_pattern)
                 : scope == record_scope::own
                     ? sqlite3_mprintf(list_for_caller_fmt, name_not, name_pattern, state_not, state_pattern, caller)
                     : sqlite3_mprintf(list_shared_fmt, name_not, name_pattern, state_not, state_pattern));
    int rc = -1;
    if (!sql) {
        PRINT_INFO(INFO_ERROR, "Failed to create list command\n");
    } else {
        PRINT_DEBUG(DEBUG_DB, "List command:\n");
        log_statement(sql.get());
        rc = collect_list(tuvod->tuvod_cmd_db, sql.get(), cmds.get());
    }
    if (rc != 0) {
        *cmds_js = nullptr;
        return -1;
    }
    cmds.release();
    return 0;
}

namespace {

// Runs a delete; SQLITE_NOTFOUND when it removed nothing.
int run_delete(sqlite3 *db, void *arg, std::string *errmsg) {
    int rc = sqlite3_exec(db, static_cast<const char *>(arg), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        *errmsg = sqlite3_errmsg(db);
        return rc;
    }
    return sqlite3_changes(db) == 0 ? SQLITE_NOTFOUND : SQLITE_OK;
}

} // namespace

int tuvod_db_delete_cmd(tuvod_state_t *tuvod, const char *request_uuid, const char *state) {
    sql_text sql(sqlite3_mprintf(delete_fmt, request_uuid, state));
    if (!sql) {
        PRINT_INFO(INFO_ERROR, "Failed to create delete command\n");
        return -1;
    }
    PRINT_DEBUG(DEBUG_DB, "Deleteing command:\n");
    log_statement(sql.get());
    std::string errmsg;
    int rc = group_commit(&tuvod->tuvod_cmd_db, &db_mutex, run_delete, sql.get(), &errmsg);
    if (rc == SQLITE_NOTFOUND) {
        PRINT_INFO(INFO_ERROR, "Unable to delete '%s'\n", request_uuid);
        return -1;
    }
    if (rc != SQLITE_OK) {
        PRINT_INFO(INFO_ERROR, "Failed to delete '%s': %s\n", request_uuid, errmsg.c_str());
        return -1;
    }
    return 0;
}

namespace {

// Final records whose end (finish time, else start time) lies more than ?1
// seconds back, at most ?2 of them. The stored stamps end in a "+hhmm"
// offset, which SQLite's date functions read only as "+hh:mm"; a stamp that
// does not parse compares as null and is kept.
constexpr const char *sweep_sql =
    "DELETE FROM CMDS WHERE rowid IN (SELECT rowid FROM CMDS WHERE STATE <> 'RUNNING' AND "
    "julianday(substr(COALESCE(FINISH_TIME, START_TIME), 1, "
    "length(COALESCE(FINISH_TIME, START_TIME)) - 2) || ':' || "
    "substr(COALESCE(FINISH_TIME, START_TIME), -2)) < julianday('now') - ?1 / 86400.0 LIMIT ?2);";

// Finished records nobody has collected yet, and the age in seconds of the
// oldest by its end (null when none, or no stamp parses).
constexpr const char *uncollected_sql =
    "SELECT COUNT(*), (julianday('now') - MIN(julianday(substr(COALESCE(FINISH_TIME, START_TIME), 1, "
    "length(COALESCE(FINISH_TIME, START_TIME)) - 2) || ':' || "
    "substr(COALESCE(FINISH_TIME, START_TIME), -2)))) * 86400.0 FROM CMDS WHERE STATE NOT IN "
    "('RUNNING', 'ARCHIVED');";

} // namespace

int tuvod_db_uncollected(tuvod_state_t *tuvod, long long *count, double *oldest_age_s) {
    *count = 0;
    *oldest_age_s = -1;
    if (tuvod->tuvod_cmd_db == nullptr)
        return -1;
    mutex_guard lock(&db_mutex);
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(tuvod->tuvod_cmd_db, uncollected_sql, -1, &raw, nullptr) != SQLITE_OK) {
        PRINT_INFO(INFO_ERROR, "Failed to count uncollected commands: %s\n", sqlite3_errmsg(tuvod->tuvod_cmd_db));
        return -1;
    }
    stmt_ptr stmt(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        PRINT_INFO(INFO_ERROR, "Failed to count uncollected commands: %s\n", sqlite3_errmsg(tuvod->tuvod_cmd_db));
        return -1;
    }
    *count = sqlite3_column_int64(raw, 0);
    if (sqlite3_column_type(raw, 1) != SQLITE_NULL)
        *oldest_age_s = std::max(0.0, sqlite3_column_double(raw, 1));
    return 0;
}

int tuvod_db_sweep_cmds(tuvod_state_t *tuvod, long long older_than_s, int batch, int *removed) {
    *removed = 0;
    if (tuvod->tuvod_cmd_db == nullptr)
        return -1;
    mutex_guard lock(&db_mutex);
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(tuvod->tuvod_cmd_db, sweep_sql, -1, &raw, nullptr) != SQLITE_OK) {
        PRINT_INFO(INFO_ERROR, "Failed to compile sweep: %s\n", sqlite3_errmsg(tuvod->tuvod_cmd_db));
        return -1;
    }
    stmt_ptr stmt(raw);
    PRINT_DEBUG(DEBUG_DB, "Sweeping old commands:\n");
    log_statement(sweep_sql);
    sqlite3_bind_int64(raw, 1, older_than_s);
    sqlite3_bind_int(raw, 2, batch);
    if (sqlite3_step(raw) != SQLITE_DONE) {
        PRINT_INFO(INFO_ERROR, "Failed to sweep old commands: %s\n",
                   sqlite3_errmsg(tuvod->tuvod_cmd_db));
        return -1;
    }
    *removed = sqlite3_changes(tuvod->tuvod_cmd_db);
    return 0;
}
