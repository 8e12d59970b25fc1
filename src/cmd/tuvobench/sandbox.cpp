#include "sandbox.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "handles.hpp"

namespace fs = std::filesystem;

namespace bench {

using isolation::own_cgroup_dir;
using isolation::remove_cgroup_tree;
using isolation::wait_until;

namespace {

using isolation::FIXED_LOG;

void write_file(const std::string &path, const std::string &content, mode_t mode) {
    if (!isolation::write_file(path, content, mode))
        throw std::runtime_error("cannot write " + path);
}

} // namespace

bool enter_namespaces(std::string &err) {
    if (geteuid() != 0) {
        err = "the benchmark needs root (namespaces, bind mounts, cgroups)";
        return false;
    }
    return isolation::enter_namespaces(err);
}

sandbox::sandbox() {
    char tmpl[] = "/tmp/tuvobench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    const std::string conf = root_ + "/conf", cache = root_ + "/cache", log = root_ + "/log";
    for (const auto &d : {conf + "/script_config.d", cache, log, root_ + "/bin"})
        fs::create_directories(d);
    mounts_ = isolation::bind_fixed_dirs(conf, cache, log);
    cgroup_ = isolation::make_child_cgroup("tuvobench." + fs::path(root_).filename().string());
}

sandbox::~sandbox() {
    isolation::unbind(mounts_);
    remove_cgroup_tree(cgroup_);
    std::error_code ec;
    if (!keep_)
        fs::remove_all(root_, ec);
}

std::string sandbox::add_script(const script_spec &s) const {
    std::string exe = root_ + "/bin/" + s.name;
    write_file(exe, "#!/bin/sh\n" + s.body + "\n", 0755);
    json_ptr conf(json_pack("{s:s, s:s, s:s, s:s, s:i, s:b, s:b, s:[], s:[]}", "name",
                            s.name.c_str(), "path", exe.c_str(), "digest",
                            sha256_file(exe).c_str(), "authority", authority, "timeout",
                            s.timeout, "isNonBlocking", false, "allowConcurrentExecution",
                            s.concurrent, "redactArguments", "killSignals"));
    cstr_ptr text(json_dumps(conf.get(), JSON_COMPACT));
    if (!text)
        throw std::runtime_error("cannot build the configuration of " + s.name);
    write_file(root_ + "/conf/script_config.d/" + s.name + ".json", text.get(), 0644);
    return exe;
}

std::string sandbox::enable_tls() const {
    const std::string dir = root_ + "/certs";
    fs::create_directories(dir);
    if (!isolation::make_certificates(dir))
        throw std::runtime_error("cannot make certificates in " + dir + " (openssl)");
    json_ptr conf(json_pack("{s:[s], s:{s:[s], s:i, s:s, s:s, s:s}}", "bindAddrs", "127.0.0.1", "tls", "bindAddrs",
                            "127.0.0.1", "port", 5558, "certFile", (dir + "/server.pem").c_str(), "keyFile",
                            (dir + "/server.key").c_str(), "clientCAFile", (dir + "/ca.pem").c_str()));
    cstr_ptr text(conf ? json_dumps(conf.get(), JSON_INDENT(4)) : nullptr);
    if (!text)
        throw std::runtime_error("cannot build the daemon's configuration");
    write_file(root_ + "/conf/config.json", text.get(), 0600);
    return dir;
}

daemon_proc::~daemon_proc() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool daemon_proc::start(unsigned workers, const std::string &binary) {
    pid_ = isolation::spawn_in_cgroup({binary, "-f", "-w", std::to_string(workers), "-p",
                                       sb_.root() + "/tuvod.pid"},
                                      sb_.cgroup(), sb_.root() + "/daemon.out");
    return pid_ > 0;
}

std::string daemon_proc::output() const {
    return read_file(sb_.root() + "/daemon.out") + read_file(std::string(FIXED_LOG) + "/tuvod.log");
}

bool daemon_proc::wait_ready(int timeout_ms) {
    bool ok = wait_until(
        [&] {
            if (output().find("Start-up complete") != std::string::npos)
                return true;
            if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_)
                exited_ = true;
            return exited_;
        },
        timeout_ms);
    return ok && !exited_;
}

int daemon_proc::stop(int timeout_ms) {
    if (pid_ <= 0 || exited_)
        return -1;
    kill(pid_, SIGTERM);
    if (wait_until([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; }, timeout_ms)) {
        exited_ = true;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
    return -1;
}

} // namespace bench
