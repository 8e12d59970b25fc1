// System and process statistics from /proc, the load averages and the
// system log.
#include "stats.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "handles.hpp"
#include "info.hpp"
#include "procinfo.hpp"
#include "utils.hpp"

namespace {

constexpr size_t messages_lines = 24;
constexpr size_t psargs_max = 80;
constexpr unsigned long long block_size = 512;

json_t *system_load_json() {
    double load[3];
    if (getloadavg(load, 3) != 3) {
        PRINT_INFO(INFO_ERROR, "Failed to get load average: %s\n", strerror(errno));
        return json_null();
    }
    json_t *obj = json_pack("{s:f, s:f, s:f}", "oneMinuteAverage", load[0], "fiveMinuteAverage",
                            load[1], "fifteenMinuteAverage", load[2]);
    if (obj == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to create uptime structure\n");
        return json_false();
    }
    return obj;
}

// secrets none: a process outside the run, shown by its name alone.
json_t *process_stats_for_dir_json(const char *pid_dir, const std::vector<std::string> *secrets) {
    proc_stat_t st;
    std::string name, args;
    double uptime = 0;
    if (read_proc_stat(pid_dir, &st, false) != 0 || proc_uptime(&uptime) != 0)
        return json_null();
    if (secrets != nullptr) {
        if (read_proc_names(pid_dir, &name, &args, psargs_max, false, *secrets) != 0)
            return json_null();
    } else {
        name = st.comm;
        args = st.comm;
    }
    unsigned long long mem_total = 0;
    proc_mem_total(&mem_total);
    unsigned long long rd = 0, wr = 0;
    if (read_proc_io(pid_dir, &rd, &wr) != 0)
        rd = wr = 0;
    proc_figures_t fig =
        process_figures(st, uptime, sysconf(_SC_CLK_TCK), sysconf(_SC_PAGESIZE), mem_total, rd, wr);
    return process_stats_pack(name, args, fig);
}

int is_ps_dir(const struct dirent *dent) {
    if (!is_proc_pid_name(dent->d_name))
        return 0;
    char path[1024];
    snprintf(path, sizeof path, "/proc/%s/stat", dent->d_name);
    struct stat sb;
    return lstat(path, &sb) == 0 && S_ISREG(sb.st_mode) ? 1 : 0;
}

bool is_run_member(const run_args_view_t *run, const char *pid_dir) {
    if (run == nullptr)
        return false;
    pid_t pid = static_cast<pid_t>(atol(pid_dir));
    for (pid_t member : run->members)
        if (member == pid)
            return true;
    return false;
}

json_t *ps_stats_json(const run_args_view_t *run) {
    json_ptr obj(json_object());
    if (!obj) {
        PRINT_INFO(INFO_ERROR, "Unable to create process stats\n");
        return json_null();
    }
    struct dirent **entries = nullptr;
    int n = scandir("/proc", &entries, is_ps_dir, alphasort);
    for (int i = 0; i < n; ++i) {
        const char *name = entries[i]->d_name;
        const std::vector<std::string> *secrets = is_run_member(run, name) ? &run->secrets : nullptr;
        if (json_object_set_new(obj.get(), name, process_stats_for_dir_json(name, secrets)) != 0)
            PRINT_INFO(INFO_ERROR, "Unable to add stats for %s\n", name);
        free(entries[i]);
    }
    free(entries);
    return obj.release();
}

} // namespace

const char *system_log_path() {
    static constexpr const char *candidates[] = {"/var/log/syslog", "/var/log/messages"};
    for (const char *path : candidates)
        if (access(path, F_OK) == 0)
            return path;
    return candidates[0];
}

json_t *system_stats_json(const run_args_view_t *run) {
    json_t *messages = file_tail_json(system_log_path(), messages_lines);
    json_t *processes = ps_stats_json(run);
    json_t *load = system_load_json();
    return json_pack("{s:o, s:o, s:o}", "systemLoad", load, "processState", processes, "messages",
                     messages);
}

json_t *process_stats_json(pid_t pid, const std::vector<std::string> &secrets) {
    char pid_dir[1024];
    snprintf(pid_dir, sizeof pid_dir, "%llu", static_cast<unsigned long long>(pid));
    return process_stats_for_dir_json(pid_dir, &secrets);
}

proc_figures_t process_figures(const proc_stat_t &st, double uptime_s, long hz, long page_size,
                               unsigned long long mem_total, unsigned long long read_bytes,
                               unsigned long long write_bytes) {
    proc_figures_t fig;
    double ticks = hz > 0 ? static_cast<double>(hz) : 100.0;
    fig.threads = st.num_threads;
    fig.size_kib = static_cast<long long>(st.vsize / 1024);
    unsigned long long rss_bytes = st.rss > 0 ? static_cast<unsigned long long>(st.rss) *
                                                    static_cast<unsigned long long>(page_size)
                                              : 0;
    fig.resident_kib = static_cast<long long>(rss_bytes / 1024);
    fig.user_time = static_cast<double>(st.utime) / ticks;
    fig.sys_time = static_cast<double>(st.stime) / ticks;
    fig.real_time = uptime_s - static_cast<double>(st.starttime) / ticks;
    if (fig.real_time < 0)
        fig.real_time = 0;
    if (fig.real_time > 0)
        fig.pct_cpu = (fig.user_time + fig.sys_time) / fig.real_time * 100.0;
    if (mem_total > 0)
        fig.pct_mem = static_cast<double>(rss_bytes) / static_cast<double>(mem_total) * 100.0;
    fig.in_blocks = static_cast<long long>(read_bytes / block_size);
    fig.out_blocks = static_cast<long long>(write_bytes / block_size);
    return fig;
}

json_t *process_stats_pack(const std::string &name, const std::string &args,
                           const proc_figures_t &fig) {
    json_t *obj = json_pack(
        "{s:s, s:s, s:i, s:I, s:I, s:f, s:f, s:{s:f, s:f, s:f, s:f, s:I, s:I}}", "name",
        name.c_str(), "args", args.c_str(), "activeThreads", static_cast<int>(fig.threads),
        "processSize", static_cast<json_int_t>(fig.size_kib), "residentSize",
        static_cast<json_int_t>(fig.resident_kib), "percentCPUTime", fig.pct_cpu, "percentMemory",
        fig.pct_mem, "usage", "realTime", fig.real_time, "userTime", fig.user_time, "sysCallTime",
        fig.sys_time, "sysTrapTime", 0.0, "inputBlocks", static_cast<json_int_t>(fig.in_blocks),
        "outputBlocks", static_cast<json_int_t>(fig.out_blocks));
    if (obj == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to create process info structure\n");
        return json_false();
    }
    return obj;
}
