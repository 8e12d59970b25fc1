// Confining one run: resolving the configured user and groups, preparing
// everything the child needs (ids, capability mask, environment, working
// directory) before the fork, and the child's own steps after it.
//
// The child is forked from a threaded daemon, so its steps are raw system
// calls on memory prepared beforehand: nothing is looked up, allocated or
// logged after the fork. The order is fixed: supplementary groups, gid,
// uid (capabilities kept across it only when some are configured),
// capability sets, no-new-privileges, umask and working directory; the
// environment is given at the exec. A failed step ends the child before
// the script starts, never with more privilege than configured.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "handles.hpp"
#include "state.hpp"

// Who a run runs as, once "runAs" is resolved.
struct run_identity_t {
    bool resolved = false; // "runAs" was given and resolved
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary
    std::string user;          // name, or the uid as text when it has none
    std::string group;
};

// Resolves "runAs" (names through the user and group databases, ids as
// given). 0; -1 with *why ("unknown user 'x'") when a name is unknown or a
// uid without an account has no group configured.
int resolve_run_identity(const tuvod_privilege_t &p, run_identity_t *out, std::string *why);

// What the child applies, all prepared before the fork.
struct child_confinement_t {
    run_identity_t identity;
    bool set_ids = false;
    bool set_caps = false;
    uint64_t keep = 0;    // capabilities kept
    bool ambient = false; // kept ones raised as ambient (a non-root user)
    bool no_new_privs = false;
    mode_t umask = 022;
    unique_fd cwd;                     // checked working directory, or none
    std::vector<std::string> env_store; // owns envp's texts
    std::vector<char *> envp;           // NULL-terminated; empty: the daemon's own
};

// Prepares the run of script whose checked file is st (interpreted: read
// by an interpreter, so the user needs read permission as well). 0, or -1
// with the reason pushed and *state set: TUVOD_EXEC_FAILED for a user or
// directory that cannot be had, TUVOD_EXEC_SCRIPT_INVALID for a file the
// user may not run.
int prepare_confinement(tuvod_script_t *script, const struct stat &st, bool interpreted,
                        child_confinement_t *out, tuvod_exec_state_t *state,
                        tuvod_error_t **errors);

// The checks a run makes, without running: the file (check_script_file),
// then the confinement as prepare_confinement makes it. 0, or -1 with the
// reasons pushed. For tools that check a configuration before a reload.
int check_confinement(tuvod_script_t *script, tuvod_error_t **errors);

// With "secretArguments": "stdin", the argv the script gets (the redacted
// arguments but argv[0] left out, NULL-terminated, borrowing argv's texts)
// and the read end of a pipe that already holds the redacted ones, one a
// line, its write end closed: the script reads them to end of file, and one
// that never reads holds up nobody. Otherwise nothing. 0; -1 with the
// reason pushed (a secret with a line break, too many bytes for the pipe).
int prepare_secret_stdin(tuvod_script_t *script, const char **argv,
                         std::vector<const char *> *child_argv, unique_fd *stdin_r,
                         tuvod_error_t **errors);

// The child's steps, in order; each failure names its step.
enum confine_step_t : char {
    CONFINE_OK = 0,
    CONFINE_GROUPS = 'G',
    CONFINE_GID = 'g',
    CONFINE_UID = 'u',
    CONFINE_CAPS = 'c',
    CONFINE_NNP = 'n',
    CONFINE_CWD = 'd',
};

// Applies c in the child (async-signal-safe: raw system calls only). cwd_fd
// is c.cwd as the child holds it, or -1. CONFINE_OK, or the failed step
// with errno set.
confine_step_t apply_confinement(const child_confinement_t &c, int cwd_fd) noexcept;

// What a step does, for the error entry ("setting the supplementary groups").
const char *confine_step_name(char step);

// {"user": "nobody", "uid": 65534, "group": "nogroup", "gid": 65534, "groups": [...]}
json_ptr run_identity_json(const run_identity_t &id);
