// Command execution: start the child in a contract, collect output, wait.
#include "execute.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "confine.hpp"
#include "contract.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "pipes.hpp"
#include "procgroup.hpp"
#include "runs.hpp"
#include "scripts.hpp"
#include "utils.hpp"
#include "validate.hpp"

namespace {

using ull = unsigned long long;

// The C library refuses to change the signals it keeps for itself (32 and
// 33), yet the daemon may have been started with them ignored (posix_spawn
// leaves them so) and the script would inherit that. An all-zero kernel
// sigaction is SIG_DFL with no flags and an empty mask.
void reset_reserved_signal(int sig) noexcept {
    unsigned long dfl[8] = {};
    syscall(SYS_rt_sigaction, sig, dfl, nullptr, (NSIG - 1) / 8);
}

// What the child needs to start the checked file: its descriptor and
// identity, the pipe on which it reports why it did not start it, what
// confines it and where its standard input comes from.
struct child_exec_t {
    int exe_fd = -1;
    const script_identity_t *id = nullptr;
    bool interpreted = false;
    int status_w = -1;
    const child_confinement_t *conf = nullptr;
    int stdin_r = -1;            // secrets pipe, or -1: the null device
    char *const *envp = environ; // prepared before the fork
};

// Descriptors the child keeps across the clean-up, all close-on-exec.
constexpr int child_exe_fd = 3;
constexpr int child_status_fd = 4;
constexpr int child_cwd_fd = 5;

// Why the child did not start the script: the step that failed ('C': the
// file changed since it was checked) and its errno. One write of a few
// bytes to a pipe is never split.
struct child_report_t {
    char step = 0;
    int err = 0;
};

[[noreturn]] void report_and_exit(char step, int err) noexcept {
    child_report_t r;
    r.step = step;
    r.err = err;
    ssize_t rc = write(child_status_fd, &r, sizeof r);
    (void)rc;
    _exit(126);
}

// Reports to the parent that the file is no longer the checked one.
[[noreturn]] void refuse_changed_file() noexcept { report_and_exit('C', 0); }

// Starts the checked file. A binary runs from the descriptor itself, so
// nothing done to the path since the check matters. An interpreter opens
// its script by name (and must see the configured path as $0), so the name
// must still lead to the checked file right before the exec.
[[noreturn]] void exec_checked(const char *path, const char **argv, const child_exec_t &x) noexcept {
    // The status-change time of the open file also moves when its name is
    // removed, which does not change what it holds.
    struct stat st;
    if (fstat(child_exe_fd, &st) != 0 || !same_script_content(*x.id, st))
        refuse_changed_file();
    if (x.interpreted) {
        // Followed: a configured path may be a checked link to the file.
        if (fstatat(AT_FDCWD, path, &st, 0) != 0 || !same_script_identity(*x.id, st))
            refuse_changed_file();
        execve(path, const_cast<char *const *>(argv), x.envp);
    } else {
        // The descriptor was opened by root; the exec checks the script's
        // user may execute it all the same.
        syscall(SYS_execveat, child_exe_fd, "", const_cast<char *const *>(argv), x.envp,
                AT_EMPTY_PATH);
    }
    _exit(1);
}

// The child's side, from its start to the exec. It shares the daemon's
// memory (see spawn.hpp): async-signal-safe calls only, and nothing written
// that another thread of the daemon uses.
[[noreturn]] void run_child(const char *path, const char **argv, int out_w, int err_w,
                            bool nonblock, const child_exec_t &x) noexcept {
    // The starting thread blocks every signal; a script must
    // start with none blocked and every disposition at its default, or it
    // (and anything it starts) could not be stopped with SIGTERM.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP && sigaction(sig, &dfl, nullptr) != 0)
            reset_reserved_signal(sig);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // The daemon itself may be shielded from the OOM killer (the unit's
    // OOMScoreAdjust=); its scripts are not.
    int adj = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (adj >= 0) {
        if (write(adj, "0", 1) != 1) {
            // Nothing to do: the script then keeps the daemon's score.
        }
        close(adj);
    }

    // Move the pipe ends above 2 first: with the daemon's standard
    // descriptors closed, pipe() may have handed out 0 to 2. The file and
    // the status pipe go above 4 until 0 to 2 are in place.
    int out = fcntl(out_w, F_DUPFD, 3);
    int err = fcntl(err_w, F_DUPFD, 3);
    int exe = fcntl(x.exe_fd, F_DUPFD_CLOEXEC, child_cwd_fd + 1);
    int status = fcntl(x.status_w, F_DUPFD_CLOEXEC, child_cwd_fd + 1);
    int cwd = x.conf->cwd ? fcntl(x.conf->cwd.get(), F_DUPFD_CLOEXEC, child_cwd_fd + 1) : -1;
    int in_fd = x.stdin_r >= 0 ? x.stdin_r : open("/dev/null", O_RDONLY);
    if (in_fd >= 0 && in_fd < 3)
        in_fd = fcntl(in_fd, F_DUPFD, 3);
    dup2(out, 1);
    dup2(in_fd, 0);
    dup2(err, 2);
    dup3(exe, child_exe_fd, O_CLOEXEC);
    dup3(status, child_status_fd, O_CLOEXEC);
    if (cwd >= 0)
        cwd = dup3(cwd, child_cwd_fd, O_CLOEXEC);
    close_range(child_cwd_fd + 1, ~0U, 0);

    if (x.conf->cwd && cwd < 0)
        report_and_exit(CONFINE_CWD, errno);
    confine_step_t step = apply_confinement(*x.conf, cwd);
    if (step != CONFINE_OK)
        report_and_exit(step, errno);

    if (nonblock) {
        pid_t pid = raw_fork();
        if (pid < 0)
            _exit(1);
        if (pid > 0)
            _exit(0);
    }
    exec_checked(path, argv, x);
}

// What the child is started with; it lives on the parent's stack, which
// the child shares until its exec.
struct child_start_t {
    const char *path;
    const char **argv;
    int out_w;
    int err_w;
    bool nonblock;
    const child_exec_t *x;
};

[[noreturn]] void child_main(void *arg) noexcept {
    const auto *s = static_cast<const child_start_t *>(arg);
    run_child(s->path, s->argv, s->out_w, s->err_w, s->nonblock, *s->x);
}

// What the child reported before it would have started the script (step
// 0: nothing, it started). The pipe closes at the exec; waiting is bounded
// all the same.
child_report_t child_report(int status_r, int timeout_ms) {
    struct pollfd pfd = {status_r, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    child_report_t r;
    if (rc <= 0 || read(status_r, &r, sizeof r) != static_cast<ssize_t>(sizeof r))
        return child_report_t();
    return r;
}

} // namespace

namespace {

// What the run takes from the script's confinement, prepared before any
// pipe or contract exists: the child's steps, its argv (secret arguments
// left out when they go to stdin) and the pipe that holds them.
struct run_setup_t {
    child_confinement_t conf;
    std::vector<const char *> argv;
    unique_fd stdin_r;
};

int prepare_run(tuvod_script_t *script, checked_script_t *checked, const char **argv,
                run_setup_t *setup, tuvod_exec_state_t *state, tuvod_error_t **errors) {
    struct stat st;
    if (fstat(checked->fd.get(), &st) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to stat '%s': %s",
                script->script_path.c_str(), strerror(errno));
        *state = TUVOD_EXEC_FAILED;
        return -1;
    }
    if (prepare_confinement(script, st, checked->interpreted, &setup->conf, state, errors) != 0)
        return -1;
    *state = TUVOD_EXEC_FAILED;
    return prepare_secret_stdin(script, argv, &setup->argv, &setup->stdin_r, errors);
}

// The outcome of a child that reported instead of starting the script.
tuvod_exec_state_t refused_start(tuvod_script_t *script, child_report_t report,
                                 tuvod_error_t **errors) {
    if (report.step == 'C') {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr,
                "'%s' for '%s' changed after it was checked; not run", script->script_path.c_str(),
                script->script_name.c_str());
        return TUVOD_EXEC_SCRIPT_INVALID;
    }
    set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "'%s' not started: %s failed: %s",
            script->script_name.c_str(), confine_step_name(report.step), strerror(report.err));
    return TUVOD_EXEC_FAILED;
}

} // namespace

tuvod_exec_state_t execute_checked_command(tuvod_script_t *script, checked_script_t *checked,
                                           const char **argv, size_t keep_limit,
                                           exec_stream_t *out, exec_stream_t *err,
                                           int *exit_status, tuvod_error_t **errors,
                                           run_identity_t *ran_as) {
    run_setup_t setup;
    tuvod_exec_state_t early;
    if (prepare_run(script, checked, argv, &setup, &early, errors) != 0)
        return early;
    // The secrets stay known to the listings even when the script gets them
    // on stdin: it may pass them on to what it starts.
    const char **secret_argv = argv;
    if (!setup.argv.empty())
        argv = setup.argv.data();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create output pipe: %s",
                strerror(errno));
        return TUVOD_EXEC_FAILED;
    }
    unique_fd out_r(fds[0]), out_w(fds[1]);
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create error pipe: %s",
                strerror(errno));
        return TUVOD_EXEC_FAILED;
    }
    unique_fd err_r(fds[0]), err_w(fds[1]);
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create status pipe: %s",
                strerror(errno));
        return TUVOD_EXEC_FAILED;
    }
    unique_fd status_r(fds[0]), status_w(fds[1]);

    int tmpl_fd = activate_contract(script, errors);
    if (tmpl_fd < 0)
        return TUVOD_EXEC_FAILED;
    // Everything the child needs is taken before the fork.
    const char *path = script->script_path.c_str();
    bool nonblock = script->script_nonblock;
    child_exec_t x;
    x.exe_fd = checked->fd.get();
    x.id = &checked->id;
    x.interpreted = checked->interpreted;
    x.status_w = status_w.get();
    x.conf = &setup.conf;
    x.stdin_r = setup.stdin_r.get();
    if (!setup.conf.envp.empty())
        x.envp = setup.conf.envp.data();
    child_start_t child{path, argv, out_w.get(), err_w.get(), nonblock, &x};
    pid_t pid = contract_spawn(child_main, &child);
    if (pid < 0) {
        clear_contract_template(tmpl_fd);
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to fork");
        return TUVOD_EXEC_FAILED;
    }

    ctid_t ctid = latest_ctid(errors);
    if (ctid < 0) {
        // Without its contract the run cannot be waited for as a whole; end
        // the child rather than leave it unaccounted for.
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        clear_contract_template(tmpl_fd);
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                "Killed %s pid %llu: its contract is unknown", script->script_name.c_str(),
                static_cast<ull>(pid));
        return TUVOD_EXEC_FAILED;
    }
    set_contract_secrets(ctid, secret_argv, script->script_redact_argv);
    PRINT_INFO(INFO_INFO, "'%s' is running in contract %llu\n", script->script_name.c_str(),
               static_cast<ull>(ctid));
    out_w.reset();
    err_w.reset();
    status_w.reset();
    setup.stdin_r.reset();

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int64_t timeout_ms = ms_from_seconds(script->script_timeout);
    child_report_t report =
        child_report(status_r.get(), timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms));
    pipe_desc_t pipes[2];
    pipes[0].pipe_name = "stdout";
    pipes[0].pipe_fd = out_r.get();
    pipes[1].pipe_name = "stderr";
    pipes[1].pipe_fd = err_r.get();
    pipes[0].pipe_keep = pipes[1].pipe_keep = keep_limit;
    read_pipes(pipes, 2, timeout_ms, &start, errors);
    tuvod_exec_state_t state;
    {
        // A script being stopped may still print (its clean-up messages):
        // the pipes are read until it has ended.
        pipe_drain drain(pipes, 2);
        state = wait_for_contract(script, ctid, pid, timeout_remaining(timeout_ms, &start),
                                  exit_status, errors);
        drain.finish(errors);
    }
    for (int i = 0; i < 2; i++) {
        exec_stream_t *stream = i == 0 ? out : err;
        stream->data = pipes[i].pipe_data;
        stream->len = static_cast<size_t>(pipes[i].pipe_datasz);
        stream->dropped = pipes[i].pipe_dropped;
    }
    end_contract(tmpl_fd, errors);
    if (report.step != 0)
        return refused_start(script, report, errors);
    if (ran_as != nullptr)
        *ran_as = setup.conf.identity;
    return state;
}

tuvod_exec_state_t execute_command_capped(tuvod_script_t *script, const char **argv,
                                          size_t keep_limit, exec_stream_t *out,
                                          exec_stream_t *err, int *exit_status,
                                          tuvod_error_t **errors, run_identity_t *ran_as) {
    // Checked again here, after any wait for the script's turn and right
    // before the fork, on the very file the child will start.
    checked_script_t checked;
    if (check_script_file(script, &checked, errors) != 0)
        return TUVOD_EXEC_SCRIPT_INVALID;
    return execute_checked_command(script, &checked, argv, keep_limit, out, err, exit_status,
                                   errors, ran_as);
}

tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   size_t *out_len, char **err_str, size_t *err_len,
                                   int *exit_status, tuvod_error_t **errors) {
    exec_stream_t out, err;
    out.data = *out_str;
    err.data = *err_str;
    tuvod_exec_state_t state = execute_command_capped(script, argv, 0, &out, &err, exit_status, errors);
    *out_str = out.data;
    *err_str = err.data;
    if (out_len != nullptr)
        *out_len = out.len;
    if (err_len != nullptr)
        *err_len = err.len;
    return state;
}

tuvod_exec_state_t execute_command(tuvod_script_t *script, const char **argv, char **out_str,
                                   char **err_str, int *exit_status, tuvod_error_t **errors) {
    return execute_command(script, argv, out_str, nullptr, err_str, nullptr, exit_status, errors);
}
