// The checks made before each run: the caller's authority and identity,
// and the script file itself (a trusted directory chain, its owner and mode,
// its digest), made on the file the run will execute.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "handles.hpp"
#include "state.hpp"

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
