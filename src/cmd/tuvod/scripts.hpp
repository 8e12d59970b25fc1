// Script configurations: loading the directory, reloading, lookup, and the
// checks made before each run.
//
// Lifetime: the list (tuvod->tuvod_scripts, under daemon_mutex) holds one
// reference to each record; tuvod_script returns another, taken under
// daemon_mutex, which the caller holds until it is done with the record. A
// reload swaps the list and drops the list's references at once; a removed
// record lives on until the last run or request holding it lets it go.
#pragma once

#include <sys/stat.h>
#include <pthread.h>

#include <cstddef>
#include <deque>
#include <memory>

#include <string>

#include "handles.hpp"
#include "tuvod.hpp"

struct tuvod_gate_waiter_t; // a run waiting for its turn (operations module)

// The run gate of one script path: the runs in progress and, in arrival
// order, the runs waiting for a turn that a non-concurrent script allows
// one at a time. Every record of the path shares it, so a reload never
// opens a second gate beside a run still in progress.
struct tuvod_run_gate_t {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER; // broadcast when a waiting request may go
    unsigned running = 0;                         // guarded by mutex
    std::deque<tuvod_gate_waiter_t *> waiting;    // guarded by mutex

    tuvod_run_gate_t() = default;
    tuvod_run_gate_t(const tuvod_run_gate_t &) = delete;
    tuvod_run_gate_t &operator=(const tuvod_run_gate_t &) = delete;
    ~tuvod_run_gate_t() {
        pthread_cond_destroy(&cv);
        pthread_mutex_destroy(&mutex);
    }
};

// The gate of the script's path, shared with every record of that path
// that still exists; bound to the record on first use.
std::shared_ptr<tuvod_run_gate_t> tuvod_script_gate(tuvod_script_t *script);

// The escalation of scripts whose file gives none (SIGQUIT 30 s, SIGTERM 5 s,
// SIGKILL 5 s); shared by every such record and never freed.
extern contract_killer_desc_t *const default_killsigs;

// Reads every "*.json" file of tuvod->scripts_dir in name order and replaces
// the list; invalid files are logged and left out. Returns at once,
// without waiting for runs of removed records. -1: the directory cannot
// be scanned (the list in force stays); 0 otherwise, also when no file was
// valid or none was found.
int tuvod_load_scripts(tuvod_state_t *tuvod);
// A new reference to the first record whose script_path equals path, or
// none; the caller holds it until it is done with the record.
tuvod_script_ref tuvod_script(tuvod_state_t *tuvod, const char *path);

// A new record read from one configuration file, or none after logging why.
tuvod_script_ref tuvod_script_from_file(const char *path);
// Frees a step list the caller owns; default_killsigs is left alone.
void free_contract_killer_descs(contract_killer_desc_t *descs);

// Each returns 0 when the script may run; -1 after pushing the reason
// (code 1, 5 or 22) on errors. The script is borrowed.
int validate_authority(tuvod_script_t *script, const char *authority, tuvod_error_t **errors);
// A TLS caller must be one of the script's "allowedCallers" when it has any;
// other callers are not checked. 0, or -1 with an EPERM error.
int validate_caller(tuvod_script_t *script, const std::string &caller, tuvod_error_t **errors);
int validate_script(tuvod_script_t *script, tuvod_error_t **errors);

// A script file that passed every check, held open so that what runs is
// what was checked.
struct checked_script_t {
    unique_fd fd;            // the file, read-only, close-on-exec
    script_identity_t id;    // as it was when checked
    bool interpreted = false; // starts with "#!": the interpreter opens it by name
};

// The checks of validate_script, made on the file itself: the path is
// walked from "/" one component at a time, every directory passed must be
// one that only root (or the daemon's own user) can change, and the file is
// opened without following a final symbolic link, then checked and hashed
// through that descriptor. 0 with *out filled; -1 after pushing the reason.
int check_script_file(tuvod_script_t *script, checked_script_t *out, tuvod_error_t **errors);
// True when st still shows the file that id describes.
bool same_script_identity(const script_identity_t &id, const struct stat &st) noexcept;
// The same for what the file holds (device, inode, size, modification
// time), whatever happened to its links or mode since.
bool same_script_content(const script_identity_t &id, const struct stat &st) noexcept;
script_identity_t script_identity_of(const struct stat &st);
// Lower-case hex SHA-256 of a file into digest_str; -1 when the file cannot
// be read completely or the text does not fit.
int tuvod_script_digest(const char *scptfname, char *digest_str, size_t digest_strsz);
// The same for an open file, read from its start whatever its offset.
int tuvod_script_digest_fd(int fd, char *digest_str, size_t digest_strsz);
