// What the benchmark reads about the daemon from outside: CPU time and
// memory from /proc, and system calls through strace.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// utime + stime of all the process's threads, in seconds; negative when unreadable.
double cpu_seconds(pid_t pid);
// A "VmHWM:"-style field of /proc/<pid>/status in KiB; negative when absent.
long status_kib(pid_t pid, const char *field);
// Resets the peak resident set size so VmHWM measures from now on.
bool reset_peak_rss(pid_t pid);

struct file_syncs {
    unsigned long writes = 0, fsyncs = 0, fdatasyncs = 0;
    bool dsync = false; // opened with O_DSYNC or O_SYNC: every write is a disk sync
};

struct sync_count {
    std::map<std::string, file_syncs> by_file; // the daemon's own writes, by path
    unsigned long other_syncs = 0;             // sync, syncfs, sync_file_range, msync
    std::vector<std::string> summary;          // strace's own -c table, busiest first
    unsigned long total() const;
};

// strace attached to every thread of a process, following its children.
class tracer {
  public:
    // Starts strace on pid and waits (bounded) until all its threads are traced.
    tracer(pid_t pid, const std::string &out_file);
    ~tracer();
    tracer(const tracer &) = delete;
    tracer &operator=(const tracer &) = delete;
    bool attached() const { return attached_; }
    // Detaches strace and reads its trace; false when strace did not run.
    bool finish(sync_count &out);

  private:
    pid_t target_;
    std::string out_file_;
    pid_t strace_ = -1;
    bool attached_ = false;
    std::map<std::string, bool> dsync_at_start_;
};

} // namespace bench
