// Script configurations: loading the directory, reloading, lookup, and the
// checks made before each run.
//
// Lifetime: the list (tuvod->tuvod_scripts, under daemon_mutex) holds one
// reference to each record; tuvod_script returns another, taken under
// daemon_mutex, which the caller holds until it is done with the record. A
// reload swaps the list, then waits for the runs in progress of each removed
// record (script_instances) before dropping the list's reference.
#pragma once

#include <cstddef>

#include "tuvod.hpp"

extern contract_killer_desc_t *const default_killsigs;

int tuvod_load_scripts(tuvod_state_t *tuvod);
// A reference to the first record whose script_path equals path, or none.
tuvod_script_ref tuvod_script(tuvod_state_t *tuvod, const char *path);

// Exposed for tools and tests.
tuvod_script_ref tuvod_script_from_file(const char *path);
void free_contract_killer_descs(contract_killer_desc_t *descs);

int validate_authority(tuvod_script_t *script, const char *authority, tuvod_error_t **errors);
int validate_script(tuvod_script_t *script, tuvod_error_t **errors);
int tuvod_script_digest(const char *scptfname, char *digest_str, size_t digest_strsz);
