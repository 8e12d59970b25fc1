#include "harness.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "isolation.hpp"
#include "utils.hpp"

namespace fs = std::filesystem;

namespace e2e {

using isolation::own_cgroup_dir;
using isolation::remove_cgroup_tree;
using isolation::sha256_file;

namespace {

std::string json_text(json_t *v) {
    cstr_ptr s(json_dumps(v, JSON_COMPACT | JSON_ENCODE_ANY));
    return s ? s.get() : "null";
}

// Groups of sandboxes whose directory is gone belong to runs that were killed.
void remove_stale_cgroups(const std::string &parent) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(parent, ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("tuvod-e2e.", 0) == 0 && !fs::exists("/tmp/" + name))
            remove_cgroup_tree(entry.path().string());
    }
}

} // namespace

std::string new_uuid() {
    cstr_ptr u(generate_uuid_str());
    return u.get();
}

json_ptr exec_args(const std::vector<std::string> &argv, bool async) {
    json_t *array = json_array();
    for (const auto &a : argv)
        json_array_append_new(array, json_stringn(a.data(), a.size()));
    return json_ptr(json_pack("{s:o, s:b}", "argv", array, "asynchronous", async));
}

json_ptr exec(Client &c, const std::vector<std::string> &argv, bool async, const std::string &uuid,
              const std::string &authority) {
    return c.call("execute", exec_args(argv, async).release(), uuid, authority);
}

bool enter_sandbox_namespaces() {
    static int state = 0; // 0 not tried, 1 entered, -1 unavailable
    if (state != 0)
        return state > 0;
    state = -1;
    if (geteuid() != 0)
        return false;
    std::string err;
    if (!isolation::enter_namespaces(err)) {
        ADD_FAILURE() << err;
        return false;
    }
    state = 1;
    return true;
}

// ---- Sandbox ----

Sandbox::Sandbox() {
    char tmpl[] = "/tmp/tuvod-e2e.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root = tmpl;
    conf_dir = root + "/conf";
    scripts_dir = conf_dir + "/script_config.d";
    cache_dir = root + "/cache";
    log_dir = root + "/log";
    bin_dir = root + "/bin";
    for (const auto &d : {scripts_dir, cache_dir, log_dir, bin_dir})
        fs::create_directories(d);
    // Seen through the mounts, the directories are as an installation makes them.
    for (const auto &d : {conf_dir, scripts_dir})
        chmod(d.c_str(), isolation::FIXED_CONF_MODE);
    chmod(log_dir.c_str(), isolation::FIXED_LOG_MODE);
    mounts_ = isolation::bind_fixed_dirs(conf_dir, cache_dir, log_dir);
    std::string parent = own_cgroup_dir();
    if (!parent.empty())
        remove_stale_cgroups(parent);
    cgroup_ = isolation::make_child_cgroup(fs::path(root).filename().string());
}

Sandbox::~Sandbox() {
    isolation::unbind(mounts_);
    remove_cgroup_tree(cgroup_);
    std::error_code ec;
    fs::remove_all(root, ec);
}

void Sandbox::write(const std::string &path, const std::string &content, mode_t mode) const {
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

std::string Sandbox::add_script(const ScriptSpec &s) const {
    std::string exe = (s.dir.empty() ? bin_dir : s.dir) + "/" + s.name;
    write(exe, "#!/bin/sh\n" + s.body + "\n", 0755);
    json_t *redact = json_array();
    for (int r : s.redact)
        json_array_append_new(redact, json_integer(r));
    json_error_t err;
    json_t *kill = json_loads(s.kill_signals.c_str(), JSON_DECODE_ANY, &err);
    json_ptr conf(json_pack("{s:s, s:s, s:s, s:s, s:i, s:b, s:b, s:o, s:o}", "name", s.name.c_str(),
                            "path", exe.c_str(), "digest",
                            s.with_digest ? sha256_file(exe).c_str() : "", "authority",
                            s.authority.c_str(), "timeout", s.timeout, "isNonBlocking", s.nonblock,
                            "allowConcurrentExecution", s.concurrent, "redactArguments", redact,
                            "killSignals", kill != nullptr ? kill : json_null()));
    if (!s.allowed_callers.empty()) {
        json_t *callers = json_array();
        for (const std::string &cn : s.allowed_callers)
            json_array_append_new(callers, json_string(cn.c_str()));
        json_object_set_new(conf.get(), "allowedCallers", callers);
    }
    if (!s.extra.empty()) {
        json_ptr members(json_loads(s.extra.c_str(), 0, &err));
        if (!members || json_object_update(conf.get(), members.get()) != 0)
            throw std::runtime_error("bad extra members: " + s.extra);
    }
    write(scripts_dir + "/" + (s.file.empty() ? s.name + ".json" : s.file), json_text(conf.get()));
    return exe;
}

// ---- Daemon ----

Daemon::Daemon(Sandbox &sb, std::vector<std::string> args) : sb_(sb), args_(std::move(args)) {
    bool has_pid = false;
    for (const auto &a : args_)
        has_pid = has_pid || a == "-p";
    if (!has_pid) {
        args_.push_back("-p");
        args_.push_back(sb_.root + "/tuvod.pid");
    }
}

Daemon::~Daemon() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Daemon::start() {
    std::vector<std::string> argv = {TUVOD_BINARY};
    argv.insert(argv.end(), args_.begin(), args_.end());
    pid_ = isolation::spawn_in_cgroup(argv, sb_.cgroup(), sb_.root + "/daemon.out");
    return pid_ > 0;
}

std::string Daemon::log() const {
    return read_file(sb_.root + "/daemon.out") + read_file(sb_.log_dir + "/tuvod.log");
}

bool Daemon::wait_for_log(const std::string &text, int timeout_ms) {
    return wait_until([&] { return log().find(text) != std::string::npos; }, timeout_ms);
}

bool Daemon::wait_ready(int timeout_ms) {
    return wait_until(
        [&] {
            if (log().find("Start-up complete") != std::string::npos)
                return true;
            // A daemon that already ended will never be ready.
            if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_)
                exited_ = true;
            return exited_;
        },
        timeout_ms) &&
           !exited_;
}

void Daemon::signal(int sig) {
    if (pid_ > 0 && !exited_)
        kill(pid_, sig);
}

int Daemon::wait_exit(int timeout_ms) {
    if (!exited_ && !wait_until([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; }, timeout_ms))
        return -1;
    exited_ = true;
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        return 128 + WTERMSIG(status_);
    return -1;
}

int Daemon::stop(int timeout_ms) {
    signal(SIGTERM);
    int rc = wait_exit(timeout_ms);
    if (rc == -1 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        exited_ = true;
    }
    return rc;
}

// ---- Client ----

Client::Client(const std::string &endpoint, int timeout_ms) : timeout_ms_(timeout_ms) {
    sock_ = nn_socket(AF_SP, NN_REQ);
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms_, sizeof timeout_ms_);
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout_ms_, sizeof timeout_ms_);
    // Never resend: a resent execute would look like a repeated request.
    int resend = 24 * 3600 * 1000;
    nn_setsockopt(sock_, NN_REQ, NN_REQ_RESEND_IVL, &resend, sizeof resend);
    int unlimited = -1;
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &unlimited, sizeof unlimited);
    nn_connect(sock_, endpoint.c_str());
}

Client::~Client() {
    if (sock_ >= 0)
        nn_close(sock_);
}

bool Client::send_raw(const std::string &bytes) {
    return nn_send(sock_, bytes.data(), bytes.size(), 0) == static_cast<int>(bytes.size());
}

std::optional<std::string> Client::recv_raw(int timeout_ms) {
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
    char *buf = nullptr;
    int n = nn_recv(sock_, &buf, NN_MSG, 0);
    nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms_, sizeof timeout_ms_);
    if (n < 0)
        return std::nullopt;
    std::string reply(buf, static_cast<size_t>(n));
    nn_freemsg(buf);
    return reply;
}

json_ptr Client::request(json_t *req) {
    std::string text = json_text(req);
    text.push_back('\0');
    if (!send_raw(text))
        return nullptr;
    auto reply = recv_raw(timeout_ms_);
    if (!reply)
        return nullptr;
    json_error_t err;
    // Outputs may hold NUL bytes (as \u0000); the text itself ends at the first raw NUL.
    return json_ptr(
        json_loadb(reply->data(), strnlen(reply->data(), reply->size()), JSON_ALLOW_NUL, &err));
}

json_ptr Client::call(const std::string &op, json_t *args_stolen, const std::string &uuid,
                      const std::string &authority) {
    std::string id = uuid.empty() ? new_uuid() : uuid;
    json_ptr req(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", id.c_str(), "authority",
                           authority.c_str(), "op", op.c_str(), "args",
                           args_stolen != nullptr ? args_stolen : json_object()));
    return request(req.get());
}

json_ptr request_as(uid_t uid, json_t *req) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return nullptr;
    unique_fd r(fds[0]), w(fds[1]);
    std::string body = json_text(req);
    std::string id = "--reuid=" + std::to_string(uid), gid = "--regid=" + std::to_string(uid);
    const char *argv[] = {"setpriv", id.c_str(), gid.c_str(), "--clear-groups", "timeout", "20", "nanocat",
                          "--req", "--connect", "tcp://127.0.0.1:5557", "--recv-timeout", "10", "--raw",
                          "--data", body.c_str(), nullptr};
    pid_t pid = fork();
    if (pid < 0)
        return nullptr;
    if (pid == 0) {
        // Only async-signal-safe calls before the exec: the test process has threads.
        dup2(w.get(), 1);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    w.reset();
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(r.get(), buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    json_error_t err;
    return json_ptr(got.empty() ? nullptr : json_loadb(got.data(), strnlen(got.data(), got.size()), 0, &err));
}

// ---- Legacy gateway and process inspection ----

unique_fd legacy_connect() {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4562);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return unique_fd();
    return fd;
}

bool legacy_send(int fd, const std::string &bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

LegacyAnswer legacy_read(int fd, int timeout_ms) {
    std::string raw;
    char buf[65536];
    for (;;) {
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
    }
    LegacyAnswer a;
    if (raw.size() < 8)
        return a;
    std::memcpy(&a.status, raw.data(), 4);
    std::memcpy(&a.length, raw.data() + 4, 4);
    a.data = raw.substr(8);
    a.complete = a.data.size() == a.length;
    return a;
}

LegacyAnswer legacy_call(const std::string &command_line, int timeout_ms) {
    unique_fd fd = legacy_connect();
    if (!fd)
        return {};
    auto length = static_cast<uint32_t>(command_line.size());
    if (!legacy_send(fd.get(), std::string(reinterpret_cast<const char *>(&length), 4) + command_line))
        return {};
    return legacy_read(fd.get(), timeout_ms);
}

namespace {

int count_entries(const std::string &dir) {
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        n++;
    return ec ? -1 : n;
}

} // namespace

int proc_fd_count(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/fd"); }

int proc_thread_count(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/task"); }

long proc_status_kib(pid_t pid, const char *field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t len = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, len, field) == 0)
            return std::strtol(line.c_str() + len, nullptr, 10);
    return -1;
}

long proc_rss_kib(pid_t pid) { return proc_status_kib(pid, "VmRSS:"); }

void reset_peak_rss(pid_t pid) {
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    out << "5";
}

namespace {

// User plus system CPU ticks of a process; -1 when unreadable.
long long proc_cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        else if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

} // namespace

bool wait_until_idle(pid_t pid, int quiet_ms, int timeout_ms) {
    long long last = proc_cpu_ticks(pid);
    auto quiet_since = std::chrono::steady_clock::now();
    return wait_until(
        [&] {
            long long now_ticks = proc_cpu_ticks(pid);
            auto now = std::chrono::steady_clock::now();
            if (now_ticks != last) {
                last = now_ticks;
                quiet_since = now;
                return false;
            }
            return now - quiet_since >= std::chrono::milliseconds(quiet_ms);
        },
        timeout_ms);
}

void DaemonTest::SetUp() {
    E2E_REQUIRE_ROOT();
    sb_ = std::make_unique<Sandbox>();
    ASSERT_NO_FATAL_FAILURE(prepare());
}

void DaemonTest::write_config(const std::string &text) const { sb_->write(sb_->config_path(), text, 0600); }

bool DaemonTest::spawn(std::vector<std::string> args) {
    // The earlier instance is gone before its output is emptied.
    d_.reset();
    sb_->write(sb_->root + "/daemon.out", "");
    d_ = std::make_unique<Daemon>(*sb_, std::move(args));
    return d_->start();
}

void DaemonTest::start(std::vector<std::string> args) {
    ASSERT_TRUE(spawn(std::move(args)));
    ASSERT_TRUE(d_->wait_ready()) << d_->log();
}

void DaemonTest::TearDown() {
    if (d_ && !d_->exited()) {
        EXPECT_EQ(d_->stop(), 0) << d_->log();
    }
}

std::vector<std::pair<pid_t, char>> children_with_state(pid_t pid) {
    std::vector<std::pair<pid_t, char>> found;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = read_file(it->path().string() + "/stat");
        // The command name may hold blanks and parentheses; the fields follow the last ')'.
        auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        if (fields >> state >> ppid && ppid == pid)
            found.emplace_back(static_cast<pid_t>(std::stol(name)), state);
    }
    return found;
}

std::vector<pid_t> zombie_children(pid_t pid) {
    std::vector<pid_t> found;
    for (auto [child, state] : children_with_state(pid))
        if (state == 'Z')
            found.push_back(child);
    return found;
}

std::vector<std::string> subdirs(const std::string &dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec))
            found.push_back(fs::relative(it->path(), dir, ec).string());
    return found;
}

std::vector<pid_t> cgroup_procs(const std::string &dir) {
    std::istringstream in(read_file(dir + "/cgroup.procs"));
    std::vector<pid_t> pids;
    pid_t pid;
    while (in >> pid)
        pids.push_back(pid);
    return pids;
}

} // namespace e2e

int main(int argc, char **argv) {
    // The tuvoctl the tests run reads no configuration file of whoever runs them.
    unsetenv("TUVOCTL_CONFIG");
    setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
