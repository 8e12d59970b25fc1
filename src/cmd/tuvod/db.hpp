// The command database: one row per request in table CMDS.
#pragma once

#include <string>

#include "state.hpp"

int tuvod_cmd_db_open(tuvod_state_t *tuvod);
int tuvod_cmd_db_close(tuvod_state_t *tuvod);
// Records a new RUNNING command started by caller (none: not known).
// *cmd_startp (when given) receives the start time stored (malloc'd).
int tuvod_db_start_cmd(tuvod_state_t *tuvod, const char *request_uuid, const char *name,
                       json_t *args_js, const char *caller, tuvod_error_t **errors,
                       char **cmd_startp = nullptr);
// *cmd_finishp (when given) receives the finish time stored (malloc'd).
int tuvod_db_complete_cmd(tuvod_state_t *tuvod, const char *request_uuid,
                          tuvod_exec_state_t cmd_state, json_t *output_js, tuvod_error_t **errors,
                          char **cmd_finishp = nullptr);
// The same with the output already serialised (compact JSON, output_len bytes):
// a large output is then held once while it is stored, not twice.
int tuvod_db_complete_cmd_text(tuvod_state_t *tuvod, const char *request_uuid,
                               tuvod_exec_state_t cmd_state, const char *output_text,
                               size_t output_len, tuvod_error_t **errors,
                               char **cmd_finishp = nullptr);
// Compact JSON text in a malloc'd buffer of exactly its size (NUL added);
// *len receives the length. None on failure.
char *tuvod_dump_compact_exact(const json_t *value, size_t *len);
int tuvod_db_archive_cmd(tuvod_state_t *tuvod, const char *request_uuid, tuvod_error_t **errors);
int tuvod_db_get_cmd(tuvod_state_t *tuvod, const char *request_uuid, char **cmd_statep,
                     char **cmd_namep, char **cmd_startp, char **cmd_finishp, json_t **cmd_args_js,
                     json_t **cmd_output_js, json_t **cmd_errors_js, tuvod_error_t **errors);
// tuvod_db_get_cmd for the current caller: a record it may not see
// (tuvod_caller_may_see) is answered as a missing one, read in the same
// lookup.
int tuvod_db_get_visible_cmd(tuvod_state_t *tuvod, const char *request_uuid, char **cmd_statep,
                             char **cmd_namep, char **cmd_startp, char **cmd_finishp,
                             json_t **cmd_args_js, json_t **cmd_output_js, json_t **cmd_errors_js,
                             tuvod_error_t **errors);
// With caller, only the records it may see (tuvod_record_scope_of): local
// root every record, a TLS identity or a non-root local user its own, any
// other caller every record that no identity keeps to itself.
int tuvod_db_list_cmds(tuvod_state_t *tuvod, const char *name, const char *state, json_t **cmds_js,
                       const char *caller = nullptr);
// The identity that started the record (empty when none was recorded); 0,
// or -1 when there is no such record.
int tuvod_db_cmd_caller(tuvod_state_t *tuvod, const char *request_uuid, std::string *caller);
int tuvod_db_delete_cmd(tuvod_state_t *tuvod, const char *request_uuid, const char *state);
// Deletes up to batch records in a final state whose end lies more than
// older_than_s seconds back; *removed says how many. 0 or -1 (logged).
// Finished records waiting to be collected (not RUNNING, not ARCHIVED) and
// the age of the oldest in seconds (-1 when there is none). 0 or -1 (logged).
int tuvod_db_uncollected(tuvod_state_t *tuvod, long long *count, double *oldest_age_s);
int tuvod_db_sweep_cmds(tuvod_state_t *tuvod, long long older_than_s, int batch, int *removed);
