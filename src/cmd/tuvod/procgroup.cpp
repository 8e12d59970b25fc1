// Process groups on cgroup v2, with a session fallback. See procgroup.hpp
// for the guarantees; the backend state below is guarded by backend_mutex,
// the list of abandoned groups by abandoned_mutex (never both at once).
#include "procgroup.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "info.hpp"
#include "procinfo.hpp"
#include "utils.hpp"

namespace {

// How long to wait for a freeze to take effect before signalling anyway, and
// for killed leftovers of an earlier instance to go.
constexpr int freeze_wait_ms = 1000;
constexpr int stale_kill_wait_ms = 2000;

struct backend_state_t {
    pid_t pid = -1;
    procgroup_backend_t kind = PROCGROUP_NONE;
    std::string own_dir; // the daemon's own cgroup directory
    std::string own_rel; // the same, as /proc/<pid>/cgroup names it
    std::string subtree; // own_dir + "/tuvod.<pid>"
};

std::mutex backend_mutex;
backend_state_t backend;

std::mutex abandoned_mutex;
std::vector<std::unique_ptr<procgroup>> abandoned;

int write_file_at(int dir_fd, const char *name, const char *text) {
    unique_fd fd(openat(dir_fd, name, O_WRONLY | O_CLOEXEC));
    if (!fd)
        return -1;
    size_t len = strlen(text);
    return write(fd.get(), text, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

// Value of one "key value" line of cgroup.events, read from the start of fd.
// Reading also re-arms the POLLPRI notification of that descriptor.
int events_value(int fd, const char *key) {
    char buf[256];
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n < 0)
        return -1;
    buf[n] = '\0';
    size_t klen = strlen(key);
    for (const char *line = buf; *line != '\0';) {
        if (strncmp(line, key, klen) == 0 && line[klen] == ' ')
            return atoi(line + klen + 1);
        const char *eol = strchr(line, '\n');
        if (eol == nullptr)
            break;
        line = eol + 1;
    }
    errno = EINVAL;
    return -1;
}

// Waits until cgroup.events shows key at value, or the time runs out.
int wait_events_value(int fd, const char *key, int value, int timeout_ms) {
    long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        int v = events_value(fd, key);
        if (v < 0)
            return -1;
        if (v == value)
            return 0;
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return -1;
        struct pollfd pfd = {fd, POLLPRI, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
}

// Members of a cgroup directory and of every cgroup below it: a script run
// as root may create child groups of its own.
int collect_procs(int dir_fd, std::vector<pid_t> *pids, int depth) {
    std::string text;
    if (read_small_file_at(dir_fd, "cgroup.procs", &text) != 0)
        return -1;
    for (const char *p = text.c_str(); *p != '\0';) {
        char *end = nullptr;
        long pid = strtol(p, &end, 10);
        if (end == p)
            break;
        pids->push_back(static_cast<pid_t>(pid));
        p = end;
        while (*p == '\n')
            ++p;
    }
    if (depth > 32)
        return 0;
    unique_fd walk_fd(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    dir_ptr dir(walk_fd ? fdopendir(walk_fd.get()) : nullptr);
    if (!dir)
        return 0;
    walk_fd.release();
    while (struct dirent *dent = readdir(dir.get())) {
        if (dent->d_type != DT_DIR || strcmp(dent->d_name, ".") == 0 ||
            strcmp(dent->d_name, "..") == 0)
            continue;
        unique_fd sub(openat(dirfd(dir.get()), dent->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (sub)
            collect_procs(sub.get(), pids, depth + 1);
    }
    return 0;
}

// Removes a cgroup directory and the groups below it; they must be empty.
int remove_cgroup_tree(const std::string &path, int depth) {
    if (depth <= 32) {
        dir_ptr dir(opendir(path.c_str()));
        if (dir) {
            while (struct dirent *dent = readdir(dir.get())) {
                if (dent->d_type == DT_DIR && strcmp(dent->d_name, ".") != 0 &&
                    strcmp(dent->d_name, "..") != 0)
                    remove_cgroup_tree(path + "/" + dent->d_name, depth + 1);
            }
        }
    }
    return rmdir(path.c_str());
}

// Kills everything in a cgroup tree, waits (bounded) for it to go and removes
// it. Returns the number of processes that were killed, or -1.
int kill_cgroup_tree(const std::string &path) {
    unique_fd dir_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd)
        return -1;
    std::vector<pid_t> pids;
    collect_procs(dir_fd.get(), &pids, 0);
    if (!pids.empty()) {
        write_file_at(dir_fd.get(), "cgroup.kill", "1");
        unique_fd events(openat(dir_fd.get(), "cgroup.events", O_RDONLY | O_CLOEXEC));
        if (events)
            wait_events_value(events.get(), "populated", 0, stale_kill_wait_ms);
    }
    if (remove_cgroup_tree(path, 0) != 0)
        return -1;
    return static_cast<int>(pids.size());
}

std::string join_cgroup_path(const std::string &mount_point, const std::string &mount_root,
                             const std::string &own) {
    std::string rel = own;
    if (mount_root != "/" && rel.compare(0, mount_root.size(), mount_root) == 0)
        rel = rel.substr(mount_root.size());
    std::string dir = mount_point;
    if (!rel.empty() && rel != "/")
        dir += rel;
    return dir;
}

// Sets up this process's subtree; the caller holds backend_mutex.
bool init_cgroup_backend(backend_state_t *st) {
    std::string mount_point, mount_root, own;
    if (proc_cgroup2_mount(&mount_point, &mount_root) != 0 || proc_cgroup2_path("self", &own) != 0)
        return false;
    st->own_dir = join_cgroup_path(mount_point, mount_root, own);
    st->own_rel = own;
    st->subtree = st->own_dir + "/tuvod." + std::to_string(st->pid);
    if (mkdir(st->subtree.c_str(), 0755) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    // Left by an earlier process that had our PID: its groups would clash
    // with ours by name.
    int killed = kill_cgroup_tree(st->subtree);
    if (killed > 0)
        PRINT_INFO(INFO_WARN, "Killed %d processes left in %s\n", killed, st->subtree.c_str());
    return mkdir(st->subtree.c_str(), 0755) == 0;
}

procgroup_backend_t init_locked() {
    backend = backend_state_t{};
    backend.pid = getpid();
    if (init_cgroup_backend(&backend)) {
        backend.kind = PROCGROUP_CGROUP;
        PRINT_DEBUG(DEBUG_CONTRACT, "Commands run in cgroups below %s\n", backend.subtree.c_str());
    } else if (access("/proc/self/stat", R_OK) == 0) {
        backend.kind = PROCGROUP_SESSION;
        backend.subtree.clear();
        PRINT_INFO(INFO_WARN, "No writable cgroup v2 hierarchy: commands run in sessions of their "
                              "own, and a process that starts a new session escapes its command\n");
    }
    return backend.kind;
}

// ---- Resource limits ----
//
// A limit file (memory.max, ...) exists in a group only when its controller
// is enabled in cgroup.subtree_control of every ancestor up to the daemon's
// own cgroup. A cgroup that holds processes cannot enable controllers for
// its children, so when the daemon's own cgroup holds the daemon (as a
// systemd service with Delegate=yes does), the daemon moves itself into a
// leaf "tuvod.<pid>.daemon" beside its subtree first.

constexpr const char *daemon_leaf_suffix = ".daemon";
std::mutex controllers_mutex;

bool has_word(const std::string &text, const char *word) {
    size_t n = strlen(word);
    for (size_t pos = text.find(word); pos != std::string::npos; pos = text.find(word, pos + 1)) {
        bool start = pos == 0 || text[pos - 1] == ' ' || text[pos - 1] == '\n';
        bool end = pos + n == text.size() || text[pos + n] == ' ' || text[pos + n] == '\n';
        if (start && end)
            return true;
    }
    return false;
}

bool controller_listed(const std::string &dir, const char *file, const char *controller) {
    unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string text;
    return fd && read_small_file_at(fd.get(), file, &text) == 0 && has_word(text, controller);
}

int enable_in(const std::string &dir, const char *controller) {
    unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return -1;
    std::string op = std::string("+") + controller;
    return write_file_at(fd.get(), "cgroup.subtree_control", op.c_str());
}

// Moves this process into a leaf below its own cgroup. 0 or -1.
int move_daemon_to_leaf(const std::string &own_dir, pid_t pid) {
    std::string leaf = own_dir + "/tuvod." + std::to_string(pid) + daemon_leaf_suffix;
    if (mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST)
        return -1;
    unique_fd fd(open(leaf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || write_file_at(fd.get(), "cgroup.procs", "0") != 0)
        return -1;
    PRINT_INFO(INFO_INFO, "Moved the daemon into %s so that commands can be given limits\n",
               leaf.c_str());
    return 0;
}

// Makes controller available to the groups below the subtree. 0, or -1
// with the reason in *why.
int enable_controller(const char *controller, std::string *why) {
    std::string own_dir, subtree;
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(backend_mutex);
        own_dir = backend.own_dir;
        subtree = backend.subtree;
        pid = backend.pid;
    }
    std::lock_guard<std::mutex> lock(controllers_mutex);
    if (controller_listed(subtree, "cgroup.subtree_control", controller))
        return 0;
    if (!controller_listed(own_dir, "cgroup.controllers", controller)) {
        *why = std::string("the ") + controller + " controller is not available in " + own_dir;
        return -1;
    }
    if (!controller_listed(own_dir, "cgroup.subtree_control", controller) &&
        enable_in(own_dir, controller) != 0) {
        if (errno != EBUSY || move_daemon_to_leaf(own_dir, pid) != 0 ||
            enable_in(own_dir, controller) != 0) {
            *why = std::string("cannot enable the ") + controller + " controller in " + own_dir +
                   ": " + strerror(errno);
            return -1;
        }
    }
    if (enable_in(subtree, controller) != 0) {
        *why = std::string("cannot enable the ") + controller + " controller in " + subtree + ": " +
               strerror(errno);
        return -1;
    }
    return 0;
}

int write_limit(int dir_fd, const char *file, const std::string &value, std::string *why) {
    if (write_file_at(dir_fd, file, value.c_str()) == 0)
        return 0;
    *why = std::string("cannot write ") + value + " to " + file + ": " + strerror(errno);
    return -1;
}

class cgroup_group final : public procgroup {
  public:
    cgroup_group(std::string path, unique_fd dir_fd, unique_fd events_fd)
        : path_(std::move(path)), dir_fd_(std::move(dir_fd)), events_fd_(std::move(events_fd)) {}

    int handle_fd() const override { return dir_fd_.get(); }

    int members(std::vector<pid_t> *pids) override {
        pids->clear();
        return collect_procs(dir_fd_.get(), pids, 0);
    }

    int signal_all(int sig) override {
        if (sig == SIGKILL && write_file_at(dir_fd_.get(), "cgroup.kill", "1") == 0)
            return 0;
        // Frozen members cannot fork, so the listing below is complete and
        // no PID in it can be reused before the signal arrives.
        bool frozen = write_file_at(dir_fd_.get(), "cgroup.freeze", "1") == 0;
        if (frozen && wait_events_value(events_fd_.get(), "frozen", 1, freeze_wait_ms) != 0)
            PRINT_DEBUG(DEBUG_CONTRACT, "Group %s did not freeze in time\n", path_.c_str());
        std::vector<pid_t> pids;
        int rc = members(&pids);
        for (pid_t pid : pids)
            kill(pid, sig);
        if (frozen)
            write_file_at(dir_fd_.get(), "cgroup.freeze", "0");
        return rc;
    }

    int destroy() override { return remove_cgroup_tree(path_, 0); }

    int apply_limits(const tuvod_limits_t &l, std::string *why) override {
        int fd = dir_fd_.get();
        if (l.memory_max > 0) {
            if (enable_controller("memory", why) != 0 ||
                write_limit(fd, "memory.max", std::to_string(l.memory_max), why) != 0 ||
                write_limit(fd, "memory.oom.group", "1", why) != 0)
                return -1;
            // Without swap the limit is the limit; the file is absent without swap support.
            write_file_at(fd, "memory.swap.max", "0");
        }
        if (l.tasks_max > 0 && (enable_controller("pids", why) != 0 ||
                                write_limit(fd, "pids.max", std::to_string(l.tasks_max), why) != 0))
            return -1;
        if ((l.cpu_weight > 0 || !l.cpu_max.empty()) && enable_controller("cpu", why) != 0)
            return -1;
        if (l.cpu_weight > 0 && write_limit(fd, "cpu.weight", std::to_string(l.cpu_weight), why) != 0)
            return -1;
        if (!l.cpu_max.empty() && write_limit(fd, "cpu.max", l.cpu_max, why) != 0)
            return -1;
        return 0;
    }

    long long oom_kills() override {
        unique_fd fd(openat(dir_fd_.get(), "memory.events", O_RDONLY | O_CLOEXEC));
        if (!fd)
            return 0;
        int n = events_value(fd.get(), "oom_kill");
        return n > 0 ? n : 0;
    }

  protected:
    int has_members() override { return events_value(events_fd_.get(), "populated"); }
    int event_fd() const override { return events_fd_.get(); }
    unsigned long long clone_flags() const override { return CLONE_INTO_CGROUP; }
    int clone_cgroup_fd() const override { return dir_fd_.get(); }

  private:
    std::string path_;
    unique_fd dir_fd_;
    unique_fd events_fd_;
};

class session_group final : public procgroup {
  public:
    explicit session_group(unique_fd proc_fd) : proc_fd_(std::move(proc_fd)) {}

    int handle_fd() const override { return proc_fd_.get(); }

    int members(std::vector<pid_t> *pids) override {
        if (child() < 0) {
            pids->clear();
            return 0;
        }
        return proc_session_members(child(), pids);
    }

    // Members are counted by session, and one may have moved to a process
    // group of its own (setpgid), so each is signalled by PID. Listing again
    // catches processes forked meanwhile; each PID is signalled once.
    int signal_all(int sig) override {
        if (child() < 0)
            return 0;
        // The direct child may not have started its session yet.
        if (!child_collected())
            kill(child(), sig);
        std::vector<pid_t> signalled;
        for (int round = 0; round < max_signal_rounds; ++round) {
            std::vector<pid_t> pids;
            if (members(&pids) != 0)
                return -1;
            bool fresh = false;
            for (pid_t pid : pids) {
                if (std::find(signalled.begin(), signalled.end(), pid) != signalled.end())
                    continue;
                signalled.push_back(pid);
                fresh = true;
                signal_member(pid, sig);
            }
            if (!fresh)
                break;
        }
        return 0;
    }

    int destroy() override { return 0; }

    int apply_limits(const tuvod_limits_t &, std::string *why) override {
        *why = "commands run in sessions, not cgroups";
        return -1;
    }

  protected:
    int has_members() override {
        std::vector<pid_t> pids;
        if (members(&pids) != 0)
            return -1;
        return pids.empty() ? 0 : 1;
    }

  private:
    static constexpr int max_signal_rounds = 16;

    // Through a pidfd, and only after checking the session again through it,
    // so a PID that was reused since the listing is never signalled.
    void signal_member(pid_t pid, int sig) {
        unique_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
        if (!pidfd || getsid(pid) != child())
            return;
        syscall(SYS_pidfd_send_signal, pidfd.get(), sig, nullptr, 0);
    }

    unique_fd proc_fd_;
};

} // namespace

void procgroup::child_setup() const noexcept { setsid(); }

procgroup_backend_t procgroup_init() {
    std::lock_guard<std::mutex> lock(backend_mutex);
    return init_locked();
}

procgroup_backend_t procgroup_backend() {
    std::lock_guard<std::mutex> lock(backend_mutex);
    if (backend.pid != getpid())
        init_locked();
    return backend.kind;
}

std::string procgroup_subtree_path() {
    procgroup_backend();
    std::lock_guard<std::mutex> lock(backend_mutex);
    return backend.kind == PROCGROUP_CGROUP ? backend.subtree : std::string();
}

std::unique_ptr<procgroup> procgroup::create(unsigned long long id) {
    procgroup_backend_t kind = procgroup_backend();
    if (kind == PROCGROUP_SESSION) {
        unique_fd proc_fd(open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!proc_fd)
            return nullptr;
        return std::make_unique<session_group>(std::move(proc_fd));
    }
    if (kind != PROCGROUP_CGROUP) {
        errno = ENOSYS;
        return nullptr;
    }
    std::string path = procgroup_subtree_path() + "/" + std::to_string(id);
    if (mkdir(path.c_str(), 0755) != 0)
        return nullptr;
    unique_fd dir_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd events_fd(dir_fd ? openat(dir_fd.get(), "cgroup.events", O_RDONLY | O_CLOEXEC) : -1);
    if (!events_fd) {
        int saved = errno;
        rmdir(path.c_str());
        errno = saved;
        return nullptr;
    }
    return std::make_unique<cgroup_group>(std::move(path), std::move(dir_fd), std::move(events_fd));
}

pid_t procgroup::adopt_child(pid_t pid, int pidfd) {
    child_ = pid;
    pidfd_.reset(pidfd);
    return pid;
}

pid_t procgroup::fork_into() {
    if (child_ >= 0) {
        errno = EBUSY;
        return -1;
    }
    int pidfd = -1;
    pid_t pid = spawn_copied(CLONE_PIDFD | clone_flags(), &pidfd, clone_cgroup_fd());
    if (pid < 0)
        return -1;
    if (pid == 0) {
        child_setup();
        return 0;
    }
    return adopt_child(pid, pidfd);
}

struct procgroup::spawn_start {
    const procgroup *group;
    spawn_child_fn fn;
    void *arg;
};

void procgroup::child_entry(void *start) noexcept {
    const auto *s = static_cast<const spawn_start *>(start);
    s->group->child_setup();
    s->fn(s->arg);
    _exit(127);
}

pid_t procgroup::spawn_into(spawn_child_fn fn, void *arg) {
    if (child_ >= 0) {
        errno = EBUSY;
        return -1;
    }
    spawn_start start{this, fn, arg};
    int pidfd = -1;
    pid_t pid = spawn_shared_vm(CLONE_PIDFD | clone_flags(), &pidfd, clone_cgroup_fd(), child_entry, &start);
    if (pid < 0)
        return -1;
    return adopt_child(pid, pidfd);
}

bool procgroup::child_alive() {
    if (child_ < 0 || reaped_ || exited_)
        return false;
    struct pollfd pfd = {pidfd_.get(), POLLIN, 0};
    if (poll(&pfd, 1, 0) > 0)
        exited_ = true;
    return !exited_;
}

int procgroup::populated() {
    if (child_alive())
        return 1;
    return has_members();
}

void procgroup::wait_change(int timeout_ms) {
    if (timeout_ms <= 0)
        return;
    struct pollfd pfd = {-1, 0, 0};
    if (child_alive())
        pfd = {pidfd_.get(), POLLIN, 0};
    else if (event_fd() >= 0)
        pfd = {event_fd(), POLLPRI, 0};
    poll(&pfd, 1, timeout_ms);
}

int procgroup::collect_child(int *status) {
    if (child_ < 0) {
        errno = ECHILD;
        return -1;
    }
    if (reaped_) {
        errno = ECHILD;
        return -1;
    }
    // Waiting on the pidfd rather than the PID: a PID could be reused.
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info,
               WEXITED | WNOHANG) != 0)
        return -1;
    if (info.si_pid == 0)
        return 0;
    switch (info.si_code) {
    case CLD_EXITED:
        *status = (info.si_status & 0xff) << 8;
        break;
    case CLD_DUMPED:
        *status = (info.si_status & 0x7f) | 0x80;
        break;
    default:
        *status = info.si_status & 0x7f;
        break;
    }
    reaped_ = true;
    exited_ = true;
    pidfd_.reset();
    return 1;
}

void procgroup_abandon(std::unique_ptr<procgroup> group) {
    if (group) {
        int status = 0;
        if (!group->child_collected())
            group->collect_child(&status);
        if (!group->child_collected() || group->populated() != 0 || group->destroy() != 0) {
            std::lock_guard<std::mutex> lock(abandoned_mutex);
            abandoned.push_back(std::move(group));
        }
    }
    procgroup_reap_abandoned();
}

void procgroup_reap_abandoned() {
    std::lock_guard<std::mutex> lock(abandoned_mutex);
    for (auto it = abandoned.begin(); it != abandoned.end();) {
        procgroup &g = **it;
        int status = 0;
        if (!g.child_collected())
            g.collect_child(&status);
        if (g.child_collected() && g.populated() == 0 && g.destroy() == 0)
            it = abandoned.erase(it);
        else
            ++it;
    }
}

size_t procgroup_abandoned_count() {
    std::lock_guard<std::mutex> lock(abandoned_mutex);
    return abandoned.size();
}

int procgroup_cleanup_stale() {
    if (procgroup_backend() != PROCGROUP_CGROUP)
        return 0;
    std::string own_dir, own;
    {
        std::lock_guard<std::mutex> lock(backend_mutex);
        own_dir = backend.own_dir;
        own = backend.own_rel;
    }
    dir_ptr dir(opendir(own_dir.c_str()));
    if (!dir)
        return -1;
    std::vector<std::string> stale;
    while (struct dirent *dent = readdir(dir.get())) {
        if (strncmp(dent->d_name, "tuvod.", 6) != 0 || !is_proc_pid_name(dent->d_name + 6))
            continue;
        const char *pid_text = dent->d_name + 6;
        if (atol(pid_text) == getpid())
            continue;
        // An instance that still runs is in this same cgroup; a PID reused
        // by some other process is not.
        std::string other;
        if (proc_cgroup2_path(pid_text, &other) == 0 &&
            (other == own || other == own + "/" + dent->d_name + daemon_leaf_suffix))
            continue;
        stale.push_back(dent->d_name);
    }
    int removed = 0;
    for (const std::string &name : stale) {
        std::string path = own_dir + "/" + name;
        int killed = kill_cgroup_tree(path);
        if (killed < 0) {
            PRINT_INFO(INFO_WARN,
                       "Unable to remove process groups of a stopped instance in %s: %s\n",
                       path.c_str(), strerror(errno));
            continue;
        }
        PRINT_INFO(INFO_INFO,
                   "Removed process groups of a stopped instance in %s (%d processes killed)\n",
                   path.c_str(), killed);
        ++removed;
    }
    return removed;
}

void procgroup_finish() {
    procgroup_reap_abandoned();
    std::lock_guard<std::mutex> lock(backend_mutex);
    if (backend.kind == PROCGROUP_CGROUP && backend.pid == getpid())
        rmdir(backend.subtree.c_str());
}

pid_t raw_fork() noexcept {
    return spawn_copied(0, nullptr, -1);
}
