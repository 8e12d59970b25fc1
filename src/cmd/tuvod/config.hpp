// The daemon configuration file: loaded once at start-up on the main thread,
// merged with the defaults, repaired in owner and mode, and read afterwards
// without a lock. Getters return borrowed values.
#pragma once

#include "state.hpp"

enum tuvod_merge_result_t { MERGE_NOCHANGE = 0, MERGE_CHANGED = 1, MERGE_FAILED = 2 };

int tuvod_load_config(tuvod_state_t *tuvod);
int tuvod_save_config(tuvod_state_t *tuvod);

int tuvod_conf_set(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, json_t *val);
int tuvod_conf_set_new(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, json_t *val);
int tuvod_conf_set_bool(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, bool val);
int tuvod_conf_set_int(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, int val);
int tuvod_conf_set_string(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, const char *val);

bool tuvod_conf_get_bool(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, bool default_val);
int tuvod_conf_get_int(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, int default_val);
const char *tuvod_conf_get_string(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, const char *default_val);
json_t *tuvod_conf_get_object(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, json_t *default_val);
json_t *tuvod_conf_get_array(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, json_t *default_val);

// Exposed for tests: merging configured values with defaults.
tuvod_merge_result_t tuvod_merge_config_objects(json_t **conf_js, json_t *default_js);
tuvod_merge_result_t tuvod_merge_config_arrays(json_t **conf_js, json_t *default_js);
