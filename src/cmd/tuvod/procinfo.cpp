// Reading /proc.
#include "procinfo.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argv.hpp"
#include "handles.hpp"
#include "info.hpp"

namespace {

ssize_t read_procfile_impl(const char *pid_dir, const char *proc_file, char *buf, size_t bufsz,
                           bool quiet) {
    if (bufsz == 0)
        return -1;
    char path[1024];
    snprintf(path, sizeof path, "/proc/%s/%s", pid_dir, proc_file);
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (!quiet)
            PRINT_INFO(INFO_ERROR, "Failed to open proc info %s: %s\n", path, strerror(errno));
        return -1;
    }
    ssize_t n;
    do {
        n = read(fd.get(), buf, bufsz - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (!quiet)
            PRINT_INFO(INFO_ERROR, "Failed to read proc info %s: %s\n", path, strerror(errno));
        return -1;
    }
    buf[n] = '\0';
    return n;
}

int read_all(int fd, std::string *text) {
    text->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        text->append(buf, static_cast<size_t>(n));
    }
}

// Undoes the octal escapes (\040 and the like) of a mountinfo field.
std::string unescape_mount_field(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char *d = field.c_str() + i + 1;
            if (d[0] >= '0' && d[0] <= '7' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' &&
                d[2] <= '7') {
                out.push_back(
                    static_cast<char>((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<std::string> split_blanks(const std::string &line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(' ', pos);
        if (start == std::string::npos)
            break;
        size_t end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        fields.push_back(line.substr(start, end - start));
        pos = end;
    }
    return fields;
}

// Drops a trailing partial UTF-8 sequence so the text stays valid after a cut.
void cut_to_char_boundary(std::string *s, size_t max) {
    if (s->size() <= max)
        return;
    size_t len = max;
    size_t back = 0;
    while (len > 0 && back < 4 && (static_cast<unsigned char>((*s)[len]) & 0xC0) == 0x80) {
        --len;
        ++back;
    }
    if (back == 4)
        len = max; // not UTF-8 at all; keep the plain cut
    s->resize(len);
}

} // namespace

int parse_proc_stat(const char *text, size_t len, proc_stat_t *st) {
    std::string line(text, len);
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return -1;
    std::vector<std::string> f = split_blanks(line.substr(close + 1));
    // f[0] is the state, the third field of the line; rss is the 24th.
    if (f.size() < 22 || f[0].size() != 1)
        return -1;
    auto num = [&](size_t field) { return strtoll(f[field - 3].c_str(), nullptr, 10); };
    auto unum = [&](size_t field) { return strtoull(f[field - 3].c_str(), nullptr, 10); };
    st->comm = line.substr(open + 1, close - open - 1);
    st->state = f[0][0];
    st->ppid = static_cast<pid_t>(num(4));
    st->pgrp = static_cast<pid_t>(num(5));
    st->session = static_cast<pid_t>(num(6));
    st->utime = unum(14);
    st->stime = unum(15);
    st->num_threads = static_cast<long>(num(20));
    st->starttime = unum(22);
    st->vsize = unum(23);
    st->rss = num(24);
    return 0;
}

ssize_t read_procfile(const char *pid_dir, const char *proc_file, char *buf, size_t bufsz) {
    return read_procfile_impl(pid_dir, proc_file, buf, bufsz, false);
}

ssize_t read_procfile_quiet(const char *pid_dir, const char *proc_file, char *buf, size_t bufsz) {
    return read_procfile_impl(pid_dir, proc_file, buf, bufsz, true);
}

int read_proc_stat(const char *pid_dir, proc_stat_t *st, bool quiet) {
    char buf[4096];
    ssize_t n = read_procfile_impl(pid_dir, "stat", buf, sizeof buf, quiet);
    if (n < 0)
        return -1;
    return parse_proc_stat(buf, static_cast<size_t>(n), st);
}

int read_proc_names(const char *pid_dir, std::string *name, std::string *args, size_t max_args,
                    bool quiet, const std::vector<std::string> &secrets) {
    char buf[4096];
    ssize_t n = read_procfile_impl(pid_dir, "comm", buf, sizeof buf, quiet);
    if (n < 0)
        return -1;
    name->assign(buf, static_cast<size_t>(n));
    if (!name->empty() && name->back() == '\n')
        name->pop_back();
    // Read whole: a secret cut by a short read would not be recognised.
    std::string raw;
    std::string path = std::string("/proc/") + pid_dir + "/cmdline";
    if (read_small_file(path.c_str(), &raw) != 0) {
        if (!quiet)
            PRINT_INFO(INFO_ERROR, "Failed to read proc info %s: %s\n", path.c_str(),
                       strerror(errno));
        return -1;
    }
    while (!raw.empty() && raw.back() == '\0')
        raw.pop_back();
    args->clear();
    size_t pos = 0;
    while (pos <= raw.size()) {
        size_t end = raw.find('\0', pos);
        if (end == std::string::npos)
            end = raw.size();
        if (pos > 0)
            args->push_back(' ');
        args->append(mask_secrets(raw.substr(pos, end - pos), secrets));
        pos = end + 1;
    }
    cut_to_char_boundary(args, max_args);
    return 0;
}

int read_proc_io(const char *pid_dir, unsigned long long *read_bytes,
                 unsigned long long *write_bytes) {
    char buf[1024];
    if (read_procfile_impl(pid_dir, "io", buf, sizeof buf, true) < 0)
        return -1;
    const char *r = strstr(buf, "\nread_bytes: ");
    const char *w = strstr(buf, "\nwrite_bytes: ");
    if (r == nullptr || w == nullptr)
        return -1;
    *read_bytes = strtoull(r + strlen("\nread_bytes: "), nullptr, 10);
    *write_bytes = strtoull(w + strlen("\nwrite_bytes: "), nullptr, 10);
    return 0;
}

bool is_proc_pid_name(const char *name) {
    if (*name == '\0')
        return false;
    for (const char *p = name; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

std::vector<std::string> proc_pid_dirs() {
    std::vector<std::string> dirs;
    dir_ptr dir(opendir("/proc"));
    if (!dir)
        return dirs;
    while (struct dirent *dent = readdir(dir.get())) {
        if (!is_proc_pid_name(dent->d_name))
            continue;
        char path[300];
        snprintf(path, sizeof path, "/proc/%s/stat", dent->d_name);
        struct stat sb;
        if (lstat(path, &sb) == 0 && S_ISREG(sb.st_mode))
            dirs.emplace_back(dent->d_name);
    }
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

int proc_uptime(double *seconds) {
    std::string text;
    if (read_small_file("/proc/uptime", &text) != 0)
        return -1;
    char *end = nullptr;
    *seconds = strtod(text.c_str(), &end);
    return end == text.c_str() ? -1 : 0;
}

int proc_mem_total(unsigned long long *bytes) {
    std::string text;
    if (read_small_file("/proc/meminfo", &text) != 0)
        return -1;
    size_t pos = text.find("MemTotal:");
    if (pos == std::string::npos)
        return -1;
    *bytes = strtoull(text.c_str() + pos + strlen("MemTotal:"), nullptr, 10) * 1024ULL;
    return *bytes == 0 ? -1 : 0;
}

int proc_session_members(pid_t sid, std::vector<pid_t> *pids) {
    pids->clear();
    dir_ptr dir(opendir("/proc"));
    if (!dir)
        return -1;
    while (struct dirent *dent = readdir(dir.get())) {
        if (!is_proc_pid_name(dent->d_name))
            continue;
        proc_stat_t st;
        if (read_proc_stat(dent->d_name, &st, true) != 0)
            continue; // gone meanwhile
        if (st.session == sid && st.state != 'Z' && st.state != 'X')
            pids->push_back(static_cast<pid_t>(atoi(dent->d_name)));
    }
    return 0;
}

int parse_mountinfo_cgroup2(const std::string &text, std::string *mount_point,
                            std::string *mount_root) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        // The optional fields end at a lone "-"; the file system type follows.
        size_t sep = line.find(" - ");
        if (sep == std::string::npos)
            continue;
        std::vector<std::string> tail = split_blanks(line.substr(sep + 3));
        std::vector<std::string> head = split_blanks(line.substr(0, sep));
        if (tail.empty() || tail[0] != "cgroup2" || head.size() < 5)
            continue;
        *mount_root = unescape_mount_field(head[3]);
        *mount_point = unescape_mount_field(head[4]);
        return 0;
    }
    return -1;
}

int parse_proc_cgroup2(const std::string &text, std::string *path) {
    size_t pos = text.rfind("0::", 0) == 0 ? 0 : text.find("\n0::");
    if (pos == std::string::npos)
        return -1;
    if (pos != 0)
        pos += 1;
    size_t start = pos + 3;
    size_t eol = text.find('\n', start);
    *path = text.substr(start, eol == std::string::npos ? std::string::npos : eol - start);
    return path->empty() || (*path)[0] != '/' ? -1 : 0;
}

int proc_cgroup2_mount(std::string *mount_point, std::string *mount_root) {
    std::string text;
    if (read_small_file("/proc/self/mountinfo", &text) != 0)
        return -1;
    return parse_mountinfo_cgroup2(text, mount_point, mount_root);
}

int proc_cgroup2_path(const char *pid_dir, std::string *path) {
    char file[1024];
    snprintf(file, sizeof file, "/proc/%s/cgroup", pid_dir);
    std::string text;
    if (read_small_file(file, &text) != 0)
        return -1;
    return parse_proc_cgroup2(text, path);
}

int read_small_file(const char *path, std::string *text) {
    return read_small_file_at(AT_FDCWD, path, text);
}

int read_small_file_at(int dir_fd, const char *name, std::string *text) {
    unique_fd fd(openat(dir_fd, name, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -1;
    return read_all(fd.get(), text);
}
