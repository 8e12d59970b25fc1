// Script configurations: loading the directory, reloading, lookup.
//
// Lifetime: the list (tuvod->tuvod_scripts, under daemon_mutex) holds one
// reference to each record; tuvod_script returns another, taken under
// daemon_mutex, which the caller holds until it is done with the record. A
// reload swaps the list and drops the list's references at once; a removed
// record lives on until the last run or request holding it lets it go.
#pragma once

#include <memory>

#include "handles.hpp"
#include "state.hpp"

// The escalation of scripts whose file gives none (SIGQUIT 30 s, SIGTERM 5 s,
// SIGKILL 5 s); shared by every such record and never freed.
extern contract_killer_desc_t *const default_killsigs;

// Reads every "*.json" file of tuvod->scripts_dir in name order and replaces
// the list; invalid files are logged and left out. Returns at once,
// without waiting for runs of removed records. -1: the directory cannot
// be scanned (the list in force stays); 0 otherwise, also when no file was
// valid or none was found; *skipped (when given) receives how many files
// were left out.
int tuvod_load_scripts(tuvod_state_t *tuvod, int *skipped = nullptr);
// A new reference to the first record whose script_path equals path, or
// none; the caller holds it until it is done with the record.
tuvod_script_ref tuvod_script(tuvod_state_t *tuvod, const char *path);

// A new record read from one configuration file, or none after logging why.
tuvod_script_ref tuvod_script_from_file(const char *path);
// Frees a step list the caller owns; default_killsigs is left alone.
void free_contract_killer_descs(contract_killer_desc_t *descs);
