// Process groups: every process that a command's child starts, at any depth,
// stays findable as a member of one group created at the fork. Members can
// be listed, signalled together and waited for; ownership can be given up.
//
// Two backends, chosen once per process (and again after the PID changes,
// as after daemonising):
//   cgroup   one cgroup v2 directory per group, below a subtree
//            "<own cgroup>/tuvod.<pid>" of the daemon's own cgroup. The child
//            is born inside it (clone3 with CLONE_INTO_CGROUP), so no process
//            of the command ever runs outside. Signals are sent with the group
//            frozen, so a process that forks meanwhile cannot escape.
//   session  where no writable cgroup v2 hierarchy exists: members are the
//            live processes of the child's session. A descendant that starts
//            its own session escapes.
//
// With either backend the child leads a session (and so a process group) of
// its own, with no controlling terminal: signals meant for the daemon's
// terminal or process group (Ctrl-C on a foreground daemon) never reach a
// command. The cgroup contains a command; the session only groups it.
//
// A group object is used by one thread at a time. Groups given up while
// still populated, or whose direct child was not yet reaped, wait in a list
// guarded by its own mutex and are removed by later calls of
// procgroup_reap_abandoned (every abandon makes one).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "handles.hpp"
#include "spawn.hpp"
#include "state.hpp"

enum procgroup_backend_t : int {
    PROCGROUP_NONE = 0,
    PROCGROUP_CGROUP = 1,
    PROCGROUP_SESSION = 2,
};

// Detects the backend for the calling process now (creating the cgroup
// subtree) and returns it.
procgroup_backend_t procgroup_init();
// The backend in use; detected on first use and again in a process whose
// PID differs from the one that detected it.
procgroup_backend_t procgroup_backend();
// Absolute path of this process's group subtree (cgroup backend), else empty.
std::string procgroup_subtree_path();

class procgroup {
  public:
    virtual ~procgroup() = default;
    procgroup(const procgroup &) = delete;
    procgroup &operator=(const procgroup &) = delete;

    // A new empty group named by id, or none with errno set.
    static std::unique_ptr<procgroup> create(unsigned long long id);

    // Like fork(): 0 in the child, which is already a member and may then
    // call only async-signal-safe functions; the child's PID in the parent;
    // -1 with errno. At most one child per group.
    pid_t fork_into();
    // Like fork_into, but the child shares the daemon's memory until it
    // execs (see spawn.hpp) and runs fn(arg), which must exec or _exit.
    // Returns once the child has exec'd or exited.
    pid_t spawn_into(spawn_child_fn fn, void *arg);
    pid_t child() const { return child_; }

    // A descriptor naming the group (borrowed; valid while the group lives).
    virtual int handle_fd() const = 0;
    // PIDs of the members now. 0 or -1.
    virtual int members(std::vector<pid_t> *pids) = 0;
    // Sends sig to every member. 0 or -1.
    virtual int signal_all(int sig) = 0;

    // 1 while the direct child lives or any member is left, 0 when empty,
    // -1 when the group cannot be read.
    int populated();
    // Blocks up to timeout_ms, returning earlier when the direct child exits
    // or (once it has) when the group's membership changes. Callers check
    // populated() again afterwards.
    void wait_change(int timeout_ms);
    // Reaps the direct child without blocking: 1 with *status a wait status
    // word, 0 when it has not exited yet, -1 with errno.
    int collect_child(int *status);
    bool child_collected() const { return child_ < 0 || reaped_; }

    // Removes an empty group. 0 or -1.
    virtual int destroy() = 0;

    // Applies resource limits to the group (before its child starts). 0, or
    // -1 with the reason in *why (the backend cannot limit, or a
    // controller is not available to this daemon).
    virtual int apply_limits(const tuvod_limits_t &limits, std::string *why) = 0;
    // Processes the kernel killed because the group reached its memory
    // limit; 0 when none or not known.
    virtual long long oom_kills() { return 0; }

  protected:
    procgroup() = default;
    virtual int has_members() = 0;
    // Descriptor polled for POLLPRI on membership changes, or -1.
    virtual int event_fd() const { return -1; }
    virtual unsigned long long clone_flags() const { return 0; }
    virtual int clone_cgroup_fd() const { return -1; }
    // Runs in the new child before fork_into returns there; async-signal-safe.
    void child_setup() const noexcept;

  private:
    struct spawn_start;
    static void child_entry(void *start) noexcept;
    bool child_alive();
    pid_t adopt_child(pid_t pid, int pidfd);

    pid_t child_ = -1;
    unique_fd pidfd_;
    bool exited_ = false;
    bool reaped_ = false;
};

// Gives up ownership of a group: it is removed as soon as it is empty and
// its direct child reaped, now or in a later call of procgroup_reap_abandoned.
void procgroup_abandon(std::unique_ptr<procgroup> group);
// Removes abandoned groups that have emptied meanwhile.
void procgroup_reap_abandoned();
// Number of abandoned groups still waiting to empty.
size_t procgroup_abandoned_count();

// Kills and removes the group subtrees that earlier instances of the daemon
// left in the daemon's cgroup (those whose PID no longer runs there).
// Returns the number of subtrees removed, or -1 when the cgroup cannot be read.
int procgroup_cleanup_stale();
// At exit: removes the emptied abandoned groups and, if then empty, this
// process's subtree.
void procgroup_finish();

// A plain fork by system call, for use inside a forked child (the library's
// fork takes locks that another thread of the parent may have held).
// Async-signal-safe. Returns like fork().
pid_t raw_fork() noexcept;
