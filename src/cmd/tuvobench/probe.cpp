#include "probe.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "handles.hpp"
#include "sandbox.hpp"

namespace bench {

namespace {

std::vector<std::string> dir_entries(const std::string &path) {
    std::vector<std::string> names;
    dir_ptr dir(opendir(path.c_str()));
    if (!dir)
        return names;
    while (struct dirent *e = readdir(dir.get()))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    return names;
}

long tracer_of(const std::string &status_path) {
    std::ifstream in(status_path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return std::strtol(line.c_str() + 10, nullptr, 10);
    return -1;
}

bool all_threads_traced(pid_t pid, pid_t by) {
    auto tasks = dir_entries("/proc/" + std::to_string(pid) + "/task");
    if (tasks.empty())
        return false;
    for (const auto &t : tasks)
        if (tracer_of("/proc/" + std::to_string(pid) + "/task/" + t + "/status") != by)
            return false;
    return true;
}

// Paths of the files the process holds open with O_DSYNC (O_SYNC includes it).
std::map<std::string, bool> dsync_files(pid_t pid) {
    std::map<std::string, bool> files;
    const std::string base = "/proc/" + std::to_string(pid);
    for (const auto &fd : dir_entries(base + "/fd")) {
        char target[4096];
        ssize_t n = readlink((base + "/fd/" + fd).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        std::ifstream in(base + "/fdinfo/" + fd);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("flags:", 0) == 0 &&
                (std::strtoul(line.c_str() + 6, nullptr, 8) & O_DSYNC) != 0)
                files[target] = true;
    }
    return files;
}

bool is_write(const std::string &name) {
    return name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev" ||
           name == "pwritev2";
}

// "N<path>" right after the opening parenthesis, as strace -y prints a descriptor.
std::string fd_path(const std::string &line, size_t open_paren) {
    size_t lt = line.find('<', open_paren);
    size_t comma = line.find_first_of(",)", open_paren);
    if (lt == std::string::npos || lt > comma)
        return {};
    size_t gt = line.find(">,", lt);
    if (gt == std::string::npos)
        gt = line.find(">)", lt);
    return gt == std::string::npos ? std::string() : line.substr(lt + 1, gt - lt - 1);
}

void parse_trace_line(const std::string &raw, sync_count &out) {
    // With -f every line starts with the thread's id.
    size_t p = raw.find_first_not_of(' ', raw.find_first_not_of("0123456789"));
    if (p == std::string::npos)
        return;
    std::string line = raw.substr(p);
    size_t paren = line.find('(');
    if (paren == std::string::npos || line[0] == '<' || line[0] == '+' || line[0] == '-')
        return;
    std::string name = line.substr(0, paren);
    if (is_write(name) || name == "fsync" || name == "fdatasync") {
        std::string path = fd_path(line, paren);
        if (path.empty() || path[0] != '/')
            return; // pipes and sockets
        file_syncs &f = out.by_file[path];
        if (is_write(name))
            f.writes++;
        else if (name == "fsync")
            f.fsyncs++;
        else
            f.fdatasyncs++;
    } else if (name == "openat" || name == "open") {
        if (line.find("O_DSYNC") == std::string::npos && line.find("|O_SYNC") == std::string::npos)
            return;
        size_t eq = line.rfind(") = ");
        size_t lt = eq == std::string::npos ? eq : line.find('<', eq);
        size_t gt = lt == std::string::npos ? lt : line.rfind('>');
        if (gt != std::string::npos && gt > lt)
            out.by_file[line.substr(lt + 1, gt - lt - 1)].dsync = true;
    } else if (name == "sync" || name == "syncfs" || name == "sync_file_range" ||
               (name == "msync" && line.find("MS_SYNC") != std::string::npos)) {
        out.other_syncs++;
    }
}

void parse_summary(std::istream &in, sync_count &out) {
    std::string line;
    int dashes = 0;
    while (std::getline(in, line)) {
        if (line.rfind("------", 0) == 0) {
            dashes++;
            continue;
        }
        if (dashes >= 1 && (out.summary.size() < 10 || line.find("total") != std::string::npos))
            out.summary.push_back(line);
    }
}

} // namespace

unsigned long sync_count::total() const {
    unsigned long n = other_syncs;
    for (const auto &[path, f] : by_file)
        n += f.fsyncs + f.fdatasyncs + (f.dsync ? f.writes : 0);
    return n;
}

double cpu_seconds(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    // After the command name: state is field 3, utime 14 and stime 15.
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int field = 3; field <= 15 && fields >> f; field++) {
        if (field == 14)
            utime = std::stoull(f);
        if (field == 15)
            stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long status_kib(pid_t pid, const char *field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t len = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, len, field) == 0)
            return std::strtol(line.c_str() + len, nullptr, 10);
    return -1;
}

bool reset_peak_rss(pid_t pid) {
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

tracer::tracer(pid_t pid, const std::string &out_file) : target_(pid), out_file_(out_file) {
    dsync_at_start_ = dsync_files(pid);
    std::string pid_s = std::to_string(pid), err_file = out_file + ".err";
    strace_ = fork();
    if (strace_ < 0)
        return;
    if (strace_ == 0) {
        int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execlp("strace", "strace", "-f", "-C", "-y", "-s", "0", "-o", out_file.c_str(), "-p",
               pid_s.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!(attached_ = all_threads_traced(pid, strace_)) &&
           std::chrono::steady_clock::now() < deadline) {
        if (waitpid(strace_, nullptr, WNOHANG) == strace_) {
            strace_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

tracer::~tracer() {
    if (strace_ > 0) {
        kill(strace_, SIGKILL);
        waitpid(strace_, nullptr, 0);
    }
}

bool tracer::finish(sync_count &out) {
    if (strace_ <= 0)
        return false;
    kill(strace_, SIGINT);
    int status = 0;
    waitpid(strace_, &status, 0);
    strace_ = -1;
    for (const auto &[path, dsync] : dsync_at_start_)
        out.by_file[path].dsync = dsync;
    std::ifstream in(out_file_);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("% time", 0) == 0) {
            parse_summary(in, out);
            break;
        }
        parse_trace_line(line, out);
    }
    // Only files that cost syncs are of interest (not, say, each child's
    // write to its own /proc files).
    std::erase_if(out.by_file, [](const auto &e) {
        return (!e.second.dsync || e.second.writes == 0) && e.second.fsyncs == 0 && e.second.fdatasyncs == 0;
    });
    return true;
}

} // namespace bench
