// The daemon under test runs with its real fixed paths and ports, isolated
// from the host: private mount and network namespaces (entered before any
// thread exists, because unshare refuses CLONE_NEWNS in a threaded process),
// fresh directories bind-mounted over its configuration, cache and log
// directories, and a cgroup of its own so every process it starts is
// accounted to it and cleaned up with it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "isolation.hpp"

namespace bench {

// Takes private mount and network namespaces and brings lo up. Must run
// before the first thread is created. False (with the reason in err) on failure.
bool enter_namespaces(std::string &err);

struct script_spec {
    std::string name;
    std::string body; // shell text after "#!/bin/sh"
    int timeout = 30;
    bool concurrent = true;
};

class sandbox {
  public:
    // Throws std::runtime_error when a directory or mount cannot be made.
    sandbox();
    ~sandbox();
    sandbox(const sandbox &) = delete;
    sandbox &operator=(const sandbox &) = delete;

    // Writes bin/<name> (0755) and its configuration file; returns the executable's path.
    std::string add_script(const script_spec &s) const;
    // Makes certificates in <root>/certs (see isolation::make_certificates)
    // and configures the daemon's TLS listener on 127.0.0.1:5558 beside the
    // cleartext one on 127.0.0.1:5557; returns the certificate directory.
    // Throws std::runtime_error when openssl fails.
    std::string enable_tls() const;
    const std::string &root() const { return root_; }
    std::string db_path() const { return "/var/cache/tuvod.db"; }
    std::string cgroup() const { return cgroup_; }
    static constexpr const char *authority = "bench";
    // Leaves the directory (configuration, database, logs, traces) for inspection.
    void keep() { keep_ = true; }

  private:
    std::string root_;
    std::vector<std::string> mounts_;
    std::string cgroup_;
    bool keep_ = false;
};

// The real daemon binary, in the sandbox's cgroup, output to <root>/daemon.out.
class daemon_proc {
  public:
    explicit daemon_proc(const sandbox &sb) : sb_(sb) {}
    ~daemon_proc();
    daemon_proc(const daemon_proc &) = delete;
    daemon_proc &operator=(const daemon_proc &) = delete;

    // Starts binary (the daemon built alongside the benchmark unless another is given).
    bool start(unsigned workers, const std::string &binary = TUVOD_BINARY);
    // Waits (bounded) for the start-up message; false when the daemon ended or never got there.
    bool wait_ready(int timeout_ms);
    // SIGTERM, then the exit status (128 + signal when killed; -1 after SIGKILL on time-out).
    int stop(int timeout_ms);
    std::string output() const;
    pid_t pid() const { return pid_; }

  private:
    const sandbox &sb_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

using isolation::read_file;
using isolation::sha256_file;

} // namespace bench
