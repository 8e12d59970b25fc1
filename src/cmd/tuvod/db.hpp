// The command database: one row per request in table CMDS.
#pragma once

#include "tuvod.hpp"

int tuvod_cmd_db_open(tuvod_state_t *tuvod);
int tuvod_cmd_db_close(tuvod_state_t *tuvod);
int tuvod_db_start_cmd(tuvod_state_t *tuvod, const char *request_uuid, const char *name,
                       json_t *args_js, tuvod_error_t **errors);
int tuvod_db_complete_cmd(tuvod_state_t *tuvod, const char *request_uuid,
                          tuvod_exec_state_t cmd_state, json_t *output_js, tuvod_error_t **errors);
int tuvod_db_archive_cmd(tuvod_state_t *tuvod, const char *request_uuid, tuvod_error_t **errors);
int tuvod_db_get_cmd(tuvod_state_t *tuvod, const char *request_uuid, char **cmd_statep,
                     char **cmd_namep, char **cmd_startp, char **cmd_finishp, json_t **cmd_args_js,
                     json_t **cmd_output_js, json_t **cmd_errors_js, tuvod_error_t **errors);
int tuvod_db_list_cmds(tuvod_state_t *tuvod, const char *name, const char *state, json_t **cmds_js);
int tuvod_db_delete_cmd(tuvod_state_t *tuvod, const char *request_uuid, const char *state);
// Deletes up to batch records in a final state whose end lies more than
// older_than_s seconds back; *removed says how many. 0 or -1 (logged).
int tuvod_db_sweep_cmds(tuvod_state_t *tuvod, long long older_than_s, int batch, int *removed);
