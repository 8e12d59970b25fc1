// System and process statistics from /proc, the load averages and the
// system log.
#include "stats.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    for (const std::string &dir : proc_pid_dirs()) {
        const char *name = dir.c_str();
        const std::vector<std::string> *secrets = is_run_member(run, name) ? &run->secrets : nullptr;
        if (json_object_set_new(obj.get(), name, process_stats_for_dir_json(name, secrets)) != 0)
            PRINT_INFO(INFO_ERROR, "Unable to add stats for %s\n", name);
    }
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

//
// The file is read backwards in blocks with pread rather than mapped: a log
// truncated while being read (logrotate's copytruncate) then only ends the
// scan early, where a mapping would raise SIGBUS. Only the last window of
// the file (256 MiB, from a page boundary) is ever looked at.



namespace {

constexpr off_t file_tail_window = 268435456;
constexpr size_t file_tail_block = 65536;

// Inserts one non-empty line at the front; a line that is not valid text
// is left out (it still counts as a wanted line).
void file_tail_insert(json_t *lines_js, const std::string &line) {
    if (json_array_insert_new(lines_js, 0, json_stringn(line.data(), line.size())) != 0)
        PRINT_INFO(INFO_ERROR, "Unable to insert log line\n");
}

// Reads exactly len bytes at offset; false when the file ended first (it
// shrank) or the read failed.
bool read_block(int fd, char *buf, size_t len, off_t offset) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, buf + got, len - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Reads the line [start, end) of the file and inserts it unless empty;
// false when the file shrank under us.
bool file_tail_take(int fd, off_t start, off_t end, json_t *lines_js, size_t *wanted) {
    if (end <= start)
        return true;
    std::string line(static_cast<size_t>(end - start), '\0');
    if (!read_block(fd, line.data(), line.size(), start))
        return false;
    file_tail_insert(lines_js, line);
    --*wanted;
    return true;
}

} // namespace

json_t *file_tail_json(const char *filename, size_t n_lines) {
    json_ptr lines_js(json_array());
    if (!lines_js) {
        PRINT_INFO(INFO_ERROR, "Unable to create log array\n");
        return json_null();
    }
    unique_fd fd(open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        PRINT_INFO(INFO_ERROR, "Unable to open %s: %s\n", filename, strerror(errno));
        return lines_js.release();
    }
    struct stat sb;
    if (fstat(fd.get(), &sb) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to stat %s: %s\n", filename, strerror(errno));
        return lines_js.release();
    }
    off_t floor = 0;
    if (sb.st_size > file_tail_window) {
        off_t page = sysconf(_SC_PAGESIZE);
        floor = (sb.st_size - file_tail_window + page - 1) / page * page;
    }
    // Blocks are scanned for newlines only; each line found is then read
    // whole from its offsets.
    std::vector<char> buf(file_tail_block);
    size_t wanted = n_lines;
    off_t pos = sb.st_size;
    off_t line_end = sb.st_size;
    while (pos > floor && wanted > 0) {
        size_t len = static_cast<size_t>(std::min<off_t>(pos - floor, file_tail_block));
        pos -= static_cast<off_t>(len);
        if (!read_block(fd.get(), buf.data(), len, pos))
            return lines_js.release(); // shrank under us: what was found stands
        for (size_t i = len; i-- > 0 && wanted > 0;) {
            if (buf[i] != '\n')
                continue;
            off_t newline = pos + static_cast<off_t>(i);
            if (!file_tail_take(fd.get(), newline + 1, line_end, lines_js.get(), &wanted))
                return lines_js.release();
            line_end = newline;
        }
    }
    // The file's first line has no newline before it; a line cut by the
    // window's start is left out.
    if (pos == 0 && wanted > 0)
        file_tail_take(fd.get(), 0, line_end, lines_js.get(), &wanted);
    return lines_js.release();
}
