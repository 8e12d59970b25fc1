// System and process statistics for diagnosing commands that overrun.
// Nothing here keeps state or takes a lock; failures are logged and turn
// into placeholder values so a snapshot is as complete as it can be.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <jansson.h>

struct proc_stat_t;

// The processes of one run and the texts their arguments must not show.
struct run_args_view_t {
    std::vector<pid_t> members;
    std::vector<std::string> secrets;
};

// New reference: load, every process and the system log tail; NULL only
// when the snapshot object itself cannot be made. The processes of run
// show their arguments masked by its secrets; every other process shows
// only its name in "args", since its command line is none of a client's
// business.
json_t *system_stats_json(const run_args_view_t *run = nullptr);
// New reference: the statistics of pid, a process of a run whose secrets
// are masked in "args"; JSON null when its /proc files cannot be read,
// JSON false when the object cannot be made.
json_t *process_stats_json(pid_t pid, const std::vector<std::string> &secrets = {});

// The system log whose tail goes into the snapshot.
const char *system_log_path();

// Figures of one process in the units the statistics object carries.
struct proc_figures_t {
    long long threads = 0;
    long long size_kib = 0;
    long long resident_kib = 0;
    double pct_cpu = 0;
    double pct_mem = 0;
    double real_time = 0;
    double user_time = 0;
    double sys_time = 0;
    long long in_blocks = 0;
    long long out_blocks = 0;
};

// Exposed for tests: converts raw /proc figures (times in clock ticks of
// hz, resident size in pages) to the object's units.
proc_figures_t process_figures(const proc_stat_t &st, double uptime_s, long hz, long page_size,
                               unsigned long long mem_total, unsigned long long read_bytes,
                               unsigned long long write_bytes);
// New reference: the statistics object of given names and figures, or
// JSON false when it cannot be made.
json_t *process_stats_pack(const std::string &name, const std::string &args,
                           const proc_figures_t &fig);

// JSON array of the last n_lines non-empty lines of a file, oldest first;
// JSON null only when the array cannot be made.
json_t *file_tail_json(const char *filename, size_t n_lines);
