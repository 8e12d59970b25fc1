// Shared set-up of the fuzz targets: a private scratch directory, quiet but
// complete logging, and a daemon state with a command database and a script
// list none of whose scripts can ever run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "state.hpp"

namespace fuzz {

// Request identifiers of the records that every run finds in the database.
extern const char *const complete_uuid;
extern const char *const running_uuid;
// Configured script paths: one that does not exist, one that is not
// executable and one whose digest never matches.
extern const char *const missing_script;
extern const char *const plain_script;
extern const char *const mismatch_script;
extern const char *const script_authority;

// A directory of this process, removed at exit.
const std::string &scratch_dir();
// Writes data to path (replacing it); aborts on failure.
void write_file(const std::string &path, const uint8_t *data, size_t size);
void write_file(const std::string &path, const std::string &text);
// Logs at the debug level with every area on, to /dev/null: the format
// paths run on hostile text too, without the cost of a terminal.
void quiet_logging();
// The daemon state, set up once: database, scripts, instance identifier.
tuvod_state_t *daemon_state();
// Puts the two known records back if an input removed them.
void restore_records(tuvod_state_t *tuvod);
// Aborts (so the fuzzer reports the input) when cond does not hold.
void check(bool cond, const char *what);

} // namespace fuzz
