// Running one configured script in its own contract, collecting its output
// under its time-out.
#pragma once

#include "tuvod.hpp"

tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   char **err_str, int *exit_status, tuvod_error_t **errors);
