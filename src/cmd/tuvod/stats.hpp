// System and process statistics for diagnosing commands that overrun.
#pragma once

#include <sys/types.h>

#include <jansson.h>

json_t *system_stats_json();
json_t *process_stats_json(pid_t pid);
