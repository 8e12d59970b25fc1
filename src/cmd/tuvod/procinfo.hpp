// Reading /proc: the one place that knows the layout of the kernel's
// per-process files, the mount table and the cgroup membership lines.
// Nothing here keeps state or takes a lock.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// The fields of /proc/<pid>/stat the daemon uses. Times are clock ticks.
struct proc_stat_t {
    std::string comm;
    char state = '?';
    pid_t ppid = 0;
    pid_t pgrp = 0;
    pid_t session = 0;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    long num_threads = 0;
    unsigned long long starttime = 0;
    unsigned long long vsize = 0; // bytes
    long long rss = 0;            // pages
};

// Parses one stat line. The name is the text between the first '(' and the
// last ')', since it may itself hold blanks and parentheses. 0 or -1.
int parse_proc_stat(const char *text, size_t len, proc_stat_t *st);

// Reads /proc/<pid_dir>/<proc_file> with one read into buf (NUL-terminated,
// so at most bufsz - 1 bytes). Returns the bytes read, or -1 after logging
// the failure at INFO_ERROR.
ssize_t read_procfile(const char *pid_dir, const char *proc_file, char *buf, size_t bufsz);

// As above without logging, for scans where a vanished process is normal.
ssize_t read_procfile_quiet(const char *pid_dir, const char *proc_file, char *buf, size_t bufsz);

int read_proc_stat(const char *pid_dir, proc_stat_t *st, bool quiet);

// The short name (comm) and the start of the argument list (cmdline with
// NULs as blanks, cut to max_args bytes on a character boundary). Each
// argument is masked (mask_secrets) before the cut, so a cut never leaves
// part of a secret. 0 or -1.
int read_proc_names(const char *pid_dir, std::string *name, std::string *args, size_t max_args,
                    bool quiet, const std::vector<std::string> &secrets = {});

// Bytes read from and written to storage (/proc/<pid>/io); -1 when unreadable.
int read_proc_io(const char *pid_dir, unsigned long long *read_bytes,
                 unsigned long long *write_bytes);

// True for a name made only of decimal digits (a process directory).
bool is_proc_pid_name(const char *name);

// The process directories of /proc (those with a stat file), in name order.
std::vector<std::string> proc_pid_dirs();

// Seconds since boot (/proc/uptime); total memory in bytes (/proc/meminfo).
int proc_uptime(double *seconds);
int proc_mem_total(unsigned long long *bytes);

// Live processes (zombies left out) whose session is sid.
int proc_session_members(pid_t sid, std::vector<pid_t> *pids);

// The cgroup v2 mount: from mountinfo text, the mount point and the root of
// the hierarchy it shows (octal escapes undone). 0, or -1 when none.
int parse_mountinfo_cgroup2(const std::string &text, std::string *mount_point,
                            std::string *mount_root);
// The v2 path ("0::<path>") from /proc/<pid>/cgroup text. 0 or -1.
int parse_proc_cgroup2(const std::string &text, std::string *path);

// The same, read from the running system ("self" or a PID).
int proc_cgroup2_mount(std::string *mount_point, std::string *mount_root);
int proc_cgroup2_path(const char *pid_dir, std::string *path);

// Whole content of a small file; 0 or -1 (errno kept).
int read_small_file(const char *path, std::string *text);
int read_small_file_at(int dir_fd, const char *name, std::string *text);
