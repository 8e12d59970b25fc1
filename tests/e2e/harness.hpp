// End-to-end harness: runs the real daemon binary in a sandbox.
//
// Each test is its own process (ctest runs one test per process). On the
// first E2E_REQUIRE_ROOT() the process takes private mount and network
// namespaces and brings lo up, so the daemon uses its real fixed paths and
// ports without touching the host. A Sandbox bind-mounts fresh directories
// on /lumo/conf/tuvod, /var/cache and /var/log/orrvik; a Daemon runs in a
// cgroup of its own so leftover groups and processes can be counted.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "handles.hpp"
#include "isolation.hpp"

namespace e2e {

// Enters the namespaces once per process; false when not root.
bool enter_sandbox_namespaces();

#define E2E_REQUIRE_ROOT()                                                                        \
    do {                                                                                          \
        if (!::e2e::enter_sandbox_namespaces())                                                   \
            GTEST_SKIP() << "end-to-end tests need root (namespaces, bind mounts, cgroups)";       \
    } while (0)

struct ScriptSpec {
    std::string name;
    std::string body; // shell text after "#!/bin/sh"
    std::string authority = "test";
    int timeout = 10;
    bool concurrent = true;
    bool nonblock = false;
    std::vector<int> redact;
    std::string kill_signals = "[]";
    bool with_digest = true;
    std::string file; // configuration file name; default name + ".json"
    std::vector<std::string> allowed_callers; // "allowedCallers" when not empty
    std::string dir;  // where the executable goes; default bin_dir
    std::string extra; // JSON object text whose members are added to the configuration
};

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    std::string root, conf_dir, scripts_dir, cache_dir, log_dir, bin_dir;

    void write(const std::string &path, const std::string &content, mode_t mode = 0644) const;
    // Writes <dir or bin_dir>/<name> (0755) and its configuration; returns the executable's path.
    std::string add_script(const ScriptSpec &s) const;
    std::string config_path() const { return conf_dir + "/config.json"; }
    // The cgroup directory the daemon runs in (empty when cgroup v2 is unavailable).
    std::string cgroup() const { return cgroup_; }

  private:
    std::vector<std::string> mounts_;
    std::string cgroup_;
};

class Daemon {
  public:
    explicit Daemon(Sandbox &sb, std::vector<std::string> args = {"-f"});
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    bool start();
    bool wait_ready(int timeout_ms = 15000);
    bool wait_for_log(const std::string &text, int timeout_ms = 15000);
    std::string log() const;
    void signal(int sig);
    int wait_exit(int timeout_ms = 30000);
    int stop(int timeout_ms = 60000);
    pid_t pid() const { return pid_; }
    // True once a wait saw the process end.
    bool exited() const { return exited_; }

  private:
    Sandbox &sb_;
    std::vector<std::string> args_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
};

class Client {
  public:
    explicit Client(const std::string &endpoint = "tcp://127.0.0.1:5557", int timeout_ms = 15000);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Borrows req; the parsed reply, or null on time-out or a reply that is not JSON.
    json_ptr request(json_t *req);
    json_ptr call(const std::string &op, json_t *args_stolen, const std::string &uuid = "",
                  const std::string &authority = "test");
    bool send_raw(const std::string &bytes);
    std::optional<std::string> recv_raw(int timeout_ms);

  private:
    int sock_ = -1;
    int timeout_ms_;
};

// Reading answers: a member's string (or none), "result", "errors", the
// result's state, the newest error's text and code, and the whole answer as
// text for failure messages.
inline const char *str(json_t *obj, const char *key) {
    return json_string_value(json_object_get(obj, key));
}
inline json_t *result_of(const json_ptr &r) { return json_object_get(r.get(), "result"); }
inline json_t *errors_of(const json_ptr &r) { return json_object_get(r.get(), "errors"); }
inline std::string state_of(const json_ptr &r) {
    const char *s = str(result_of(r), "state");
    return s != nullptr ? s : "";
}
inline std::string first_error(const json_ptr &r) {
    const char *s = str(json_array_get(errors_of(r), 0), "errorString");
    return s != nullptr ? s : "";
}
inline long long first_code(const json_ptr &r) {
    return json_integer_value(json_object_get(json_array_get(errors_of(r), 0), "errorCode"));
}
inline std::string text_of(const json_t *v) {
    cstr_ptr s(v != nullptr ? json_dumps(v, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr);
    return s ? s.get() : "(no answer)";
}
inline std::string text_of(const json_ptr &r) { return text_of(r.get()); }

// One request sent by nanocat running as uid (and gid uid, no other
// groups), as a local user other than root sends it; the parsed reply, or
// null.
json_ptr request_as(uid_t uid, json_t *req);

// {"argv": [...], "asynchronous": async}
json_ptr exec_args(const std::vector<std::string> &argv, bool async);
// One execute request through c; the answer.
json_ptr exec(Client &c, const std::vector<std::string> &argv, bool async = false, const std::string &uuid = "",
              const std::string &authority = "test");
std::string new_uuid();
using isolation::read_file;
using isolation::wait_until;

// ---- Legacy gateway and process inspection (load, fault and hostile-input tests) ----

struct LegacyAnswer {
    int32_t status = -1;
    uint32_t length = 0;
    std::string data;
    bool complete = false; // a whole header and exactly length bytes of data
};

// Connects to 127.0.0.1:4562; an invalid descriptor when nobody listens.
unique_fd legacy_connect();
// Sends the bytes as given; false unless all went out.
bool legacy_send(int fd, const std::string &bytes);
// The answer read until the daemon closes, or until timeout_ms without data.
LegacyAnswer legacy_read(int fd, int timeout_ms = 30000);
// One whole exchange: a length header and the command line.
LegacyAnswer legacy_call(const std::string &command_line, int timeout_ms = 30000);

// Undoes a test seam (a mount, an environment variable, the umask) when it
// goes out of scope, so the seam is gone however the test ends.
class scope_guard {
  public:
    explicit scope_guard(std::function<void()> undo) : undo_(std::move(undo)) {}
    ~scope_guard() {
        if (undo_)
            undo_();
    }
    scope_guard(const scope_guard &) = delete;
    scope_guard &operator=(const scope_guard &) = delete;

  private:
    std::function<void()> undo_;
};

// A test with a sandbox of its own and, once start() has run, a daemon in
// it that must stop cleanly (exit status 0) when the test ends. A daemon
// the test already saw end (killed, refused start-up, or stopped by the
// test) was judged by the test and is left alone.
class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // What a fixture puts in place before each test (scripts, certificates,
    // a running daemon); runs only once the sandbox exists.
    virtual void prepare() {}
    // The daemon configuration file, written before start() (0600, as the
    // daemon wants it).
    void write_config(const std::string &text) const;
    // Spawns a daemon in place of any earlier one, with an empty
    // daemon.out so that readiness and messages are this instance's;
    // false when it could not be spawned.
    bool spawn(std::vector<std::string> args = {"-f"});
    // Starts the daemon once the scripts are in place and waits until it is ready.
    void start(std::vector<std::string> args = {"-f"});

    std::unique_ptr<Sandbox> sb_;
    std::unique_ptr<Daemon> d_;
};

// Entries of /proc/<pid>/fd and /proc/<pid>/task; -1 when unreadable.
int proc_fd_count(pid_t pid);
int proc_thread_count(pid_t pid);
// A "Vm…:" field of /proc/<pid>/status in KiB (field with its colon,
// e.g. "VmHWM:"); -1 when unreadable.
long proc_status_kib(pid_t pid, const char *field);
// VmRSS in KiB; -1 when unreadable.
long proc_rss_kib(pid_t pid);
// Restarts the peak resident size (VmHWM) of a process from now.
void reset_peak_rss(pid_t pid);
// Waits (at most timeout_ms) until the process has used no CPU for
// quiet_ms: it is done with, or blocked on, what it was given.
bool wait_until_idle(pid_t pid, int quiet_ms, int timeout_ms);
// The processes whose parent is pid, each with its state letter from /proc.
std::vector<std::pair<pid_t, char>> children_with_state(pid_t pid);
// Children of pid in state Z.
std::vector<pid_t> zombie_children(pid_t pid);
// Every directory below dir, recursively, as paths relative to dir.
std::vector<std::string> subdirs(const std::string &dir);
// PIDs listed in a cgroup directory's cgroup.procs.
std::vector<pid_t> cgroup_procs(const std::string &dir);

} // namespace e2e
