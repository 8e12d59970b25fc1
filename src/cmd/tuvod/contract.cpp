// Process contracts on top of the process-group layer.
//
// The contract table maps identifiers to groups under table_mutex. An entry
// is added by contract_fork and removed by abandon_contract, both on the
// thread that runs the command, and only that thread uses the group in
// between, so the group itself is used without the lock.
#include "contract.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "argv.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "procgroup.hpp"
#include "procinfo.hpp"
#include "runs.hpp"
#include "stats.hpp"
#include "utils.hpp"

namespace {

using ull = unsigned long long;

constexpr int tick_ms = 100;
constexpr size_t psargs_max = 80;

struct template_t {
    std::unique_ptr<procgroup> group; // none once a child was forked into it
    ctid_t id = -1;
    int fd = -1; // the caller's descriptor
};

thread_local template_t active_template;
thread_local ctid_t thread_latest = -1;
thread_local contract_fork_hook_t fork_hook = nullptr;
thread_local void *fork_hook_ctx = nullptr;

std::mutex table_mutex;
std::map<ctid_t, std::unique_ptr<procgroup>> contracts;
// The secret arguments of each contract's command, masked in its listings.
std::map<ctid_t, std::vector<std::string>> contract_secrets;

std::atomic<uint32_t> ctid_counter{0};

ctid_t next_ctid() {
    for (;;) {
        uint32_t v = (ctid_counter.fetch_add(1) + 1) & 0x7fffffffU;
        if (v != 0)
            return static_cast<ctid_t>(v);
    }
}

procgroup *find_contract(ctid_t ctid) {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = contracts.find(ctid);
    return it == contracts.end() ? nullptr : it->second.get();
}

bool contract_debug_on() {
    return get_info_level() > INFO_INFO && (global_debug_mask & DEBUG_CONTRACT) != 0;
}

int abandon_contract(ctid_t ctid, tuvod_error_t **errors) {
    std::unique_ptr<procgroup> group;
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        auto it = contracts.find(ctid);
        if (it != contracts.end()) {
            group = std::move(it->second);
            contracts.erase(it);
        }
        contract_secrets.erase(ctid);
    }
    if (!group) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                "Unable to open contract control file for contract %llu: %s",
                static_cast<ull>(ctid), strerror(ENOENT));
        return -1;
    }
    procgroup_abandon(std::move(group));
    return 0;
}

struct psinfo_t {
    std::string fname;
    std::string psargs;
};

std::vector<std::string> secrets_of(ctid_t ctid) {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = contract_secrets.find(ctid);
    return it == contract_secrets.end() ? std::vector<std::string>() : it->second;
}

int psinfo_for_pid(pid_t pid, psinfo_t *info, const std::vector<std::string> &secrets) {
    char pid_dir[32];
    snprintf(pid_dir, sizeof pid_dir, "%llu", static_cast<ull>(pid));
    return read_proc_names(pid_dir, &info->fname, &info->psargs, psargs_max, true, secrets);
}

cstr_ptr contract_members_str(const std::vector<pid_t> &pids,
                              const std::vector<std::string> &secrets) {
    std::string text;
    for (pid_t pid : pids) {
        psinfo_t info;
        if (psinfo_for_pid(pid, &info, secrets) != 0) {
            PRINT_DEBUG(DEBUG_CONTRACT, "Unable to get process information for PID %llu\n",
                        static_cast<ull>(pid));
            continue;
        }
        char line[64];
        snprintf(line, sizeof line, "    PID %llu : ", static_cast<ull>(pid));
        text += line;
        text += info.fname;
        text += " [";
        text += info.psargs;
        text += "]\n";
    }
    if (!text.empty())
        text.pop_back();
    cstr_ptr out(strdup(text.c_str()));
    if (!out)
        PRINT_INFO(INFO_ERROR, "Unable to allocate contract members description\n");
    return out;
}

json_ptr contract_members_json(const std::vector<pid_t> &pids,
                               const std::vector<std::string> &secrets) {
    json_ptr obj(json_object());
    if (!obj) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate contract members object\n");
        return nullptr;
    }
    for (pid_t pid : pids) {
        char key[20];
        snprintf(key, sizeof key, "%llu", static_cast<ull>(pid));
        if (json_object_set_new(obj.get(), key, process_stats_json(pid, secrets)) != 0)
            PRINT_INFO(INFO_WARN, "Unable to add stats for process %llu", static_cast<ull>(pid));
    }
    return obj;
}

// Polls until the contract is empty, in ticks of 100 ms, but wakes within a
// tick as soon as the direct child exits or the membership changes. With
// cancellable, a cancel of the thread's run ends the wait (-1) within a tick.
int wait_contract_timeout(ctid_t ctid, int64_t timeout, bool cancellable = false) {
    PRINT_DEBUG(DEBUG_CONTRACT, "Waiting for contract %llu to finish, timeout %lldms\n",
                static_cast<ull>(ctid), static_cast<long long>(timeout));
    procgroup *group = ctid > 0 ? find_contract(ctid) : nullptr;
    if (group == nullptr) {
        PRINT_DEBUG(DEBUG_CONTRACT, "Failed to open status for contract %llu\n",
                    static_cast<ull>(ctid));
        return -1;
    }
    for (int64_t n = timeout / tick_ms + (timeout % tick_ms != 0 ? 1 : 0); n > 0; --n) {
        if (cancellable && current_run_cancelled())
            return -1;
        long long tick_end = monotonic_ms() + tick_ms;
        int populated = group->populated();
        if (populated < 0) {
            PRINT_DEBUG(DEBUG_CONTRACT, "Failed to read status of  contract %llu: %s\n",
                        static_cast<ull>(ctid), strerror(errno));
            return -1;
        }
        if (n % 10 == 0 && contract_debug_on()) {
            std::vector<pid_t> pids;
            if (group->members(&pids) != 0) {
                PRINT_DEBUG(DEBUG_CONTRACT, "Failed to get members of  contract %llu: %s\n",
                            static_cast<ull>(ctid), strerror(errno));
                return -1;
            }
            cstr_ptr listing = contract_members_str(pids, secrets_of(ctid));
            PRINT_DEBUG(DEBUG_CONTRACT,
                        "There are %d members in contract %llu with %llds left:\n%s\n",
                        static_cast<int>(pids.size()), static_cast<ull>(ctid),
                        static_cast<long long>(n / 10),
                        listing ? listing.get() : "");
        }
        while (populated > 0) {
            long long left = tick_end - monotonic_ms();
            if (left <= 0)
                break;
            group->wait_change(static_cast<int>(left));
            populated = group->populated();
        }
        if (populated == 0) {
            PRINT_DEBUG(DEBUG_CONTRACT, "All processes in contract %llu have terminated.\n",
                        static_cast<ull>(ctid));
            return 0;
        }
    }
    return -1;
}

// code is the one of the escalation's cause: a time-out's or a cancel's.
int signal_contract_and_wait(tuvod_script_t *script, ctid_t ctid, const contract_killer_desc_t *step,
                             int code, tuvod_error_t **errors) {
    char *listing_raw = nullptr;
    json_t *stats_raw = nullptr;
    if (contract_state(ctid, &listing_raw, &stats_raw) != 0)
        set_err(INFO_WARN, errors, TUVOD_EIO, nullptr, "Unable to get contract state for CTID %llu",
                static_cast<ull>(ctid));
    cstr_ptr listing(listing_raw);
    json_ptr stats(stats_raw);
    const char *text = listing ? listing.get() : "";
    if (step->sig > 0) {
        set_err(INFO_ERROR, errors, code, stats.get(),
                "Sending signal %d to the following members of CTID %llu:\n%s", step->sig,
                static_cast<ull>(ctid), text);
        if (procgroup *group = find_contract(ctid))
            group->signal_all(step->sig);
    } else {
        set_err(INFO_ERROR, errors, code, stats.get(),
                "No signal to send to the following members of CTID %llu:\n%s",
                static_cast<ull>(ctid), text);
    }
    if (wait_contract_timeout(ctid, ms_from_seconds(step->timeout)) != 0)
        return -1;
    if (step->sig > 0)
        PRINT_DEBUG(DEBUG_CONTRACT, "%s CTID %llu terminated on signal %d\n",
                    script->script_name.c_str(), static_cast<ull>(ctid), step->sig);
    else
        PRINT_DEBUG(DEBUG_CONTRACT, "%s CTID %llu terminated in any case",
                    script->script_name.c_str(), static_cast<ull>(ctid));
    return 0;
}

// Reaps the direct child of an emptied contract; status collection is
// what turns the outcome into a state.
tuvod_exec_state_t collect_exit(tuvod_script_t *script, procgroup *group, pid_t pid,
                                int *exit_status, tuvod_error_t **errors) {
    int status = 0;
    int rc = group->collect_child(&status);
    if (rc == 0) {
        // Left its group without exiting; give it a moment to finish.
        group->wait_change(1000);
        rc = group->collect_child(&status);
    }
    if (rc <= 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to get status of %s pid %llu: %s",
                script->script_name.c_str(), static_cast<ull>(pid),
                rc < 0 ? strerror(errno) : "process has not exited");
        return TUVOD_EXEC_FAILED;
    }
    PRINT_DEBUG(DEBUG_CONTRACT, "waitpid returns %llu for pid %llu\n",
                static_cast<ull>(group->child()), static_cast<ull>(pid));
    if ((status & 0xff) == 0) {
        *exit_status = (status >> 8) & 0xff;
        PRINT_DEBUG(DEBUG_CONTRACT, "%s pid %llu exited  normally with status %d\n",
                    script->script_name.c_str(), static_cast<ull>(pid), *exit_status);
        return TUVOD_EXEC_COMPLETE;
    }
    if ((status & 0xff00) == 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "%s pid %llu exited due to signal %d",
                script->script_name.c_str(), static_cast<ull>(pid), status & 0x7f);
        return TUVOD_EXEC_DIED;
    }
    set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "%s pid %llu exited for unknown reason",
            script->script_name.c_str(), static_cast<ull>(pid));
    return TUVOD_EXEC_ABNORMAL_EXIT;
}

void reap_if_exited(ctid_t ctid) {
    procgroup *group = find_contract(ctid);
    int status = 0;
    if (group != nullptr && !group->child_collected())
        group->collect_child(&status);
}

// Limits go on before the child exists; a limit that cannot be applied
// is said once per loaded script, and the run goes on without it.
void apply_script_limits(tuvod_script_t *script, procgroup *group) {
    if (!script->script_limits.any())
        return;
    std::string why;
    if (group->apply_limits(script->script_limits, &why) == 0)
        return;
    if (!script->limits_warned.exchange(true))
        PRINT_INFO(INFO_WARN, "Limits of script %s are not applied: %s\n",
                   script->script_name.c_str(), why.c_str());
}

} // namespace

int activate_contract(tuvod_script_t *script, tuvod_error_t **errors) {
    if (procgroup_backend() == PROCGROUP_NONE) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to open contract template");
        return -1;
    }
    ctid_t id = next_ctid();
    std::unique_ptr<procgroup> group = procgroup::create(static_cast<unsigned long long>(id));
    int fd = group ? fcntl(group->handle_fd(), F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0) {
        int saved = errno;
        if (group)
            group->destroy();
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                "Unable to activate process contract template: %s", strerror(saved));
        return -1;
    }
    apply_script_limits(script, group.get());
    // A template left active by an earlier run on this thread is replaced;
    // its descriptor belongs to that run's caller.
    if (active_template.group)
        active_template.group->destroy();
    active_template = template_t{std::move(group), id, fd};
    return fd;
}

namespace {

// The new child becomes the thread's latest contract; the hook learns it.
void adopt_contract(pid_t pid) {
    if (pid > 0) {
        {
            std::lock_guard<std::mutex> lock(table_mutex);
            contracts[active_template.id] = std::move(active_template.group);
            thread_latest = active_template.id;
        }
        if (fork_hook != nullptr)
            fork_hook(fork_hook_ctx, thread_latest);
    }
}

} // namespace

pid_t contract_fork() {
    if (!active_template.group) {
        errno = EINVAL;
        return -1;
    }
    pid_t pid = active_template.group->fork_into();
    adopt_contract(pid);
    return pid;
}

pid_t contract_spawn(spawn_child_fn fn, void *arg) {
    if (!active_template.group) {
        errno = EINVAL;
        return -1;
    }
    pid_t pid = active_template.group->spawn_into(fn, arg);
    adopt_contract(pid);
    return pid;
}

void contract_set_fork_hook(contract_fork_hook_t hook, void *ctx) {
    fork_hook = hook;
    fork_hook_ctx = ctx;
}

int contract_signal(ctid_t ctid, int sig) {
    // Held across the signal so the group cannot be abandoned and removed meanwhile.
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = contracts.find(ctid);
    if (it == contracts.end())
        return -1;
    return it->second->signal_all(sig);
}

ctid_t latest_ctid(tuvod_error_t **errors) {
    if (thread_latest <= 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to get contract ID");
        return -1;
    }
    return thread_latest;
}

int clear_contract_template(int fd) {
    int rc = -1;
    if (fd >= 0 && fd == active_template.fd) {
        if (active_template.group)
            active_template.group->destroy();
        active_template = template_t{};
        rc = 0;
    }
    if (fd >= 0)
        close(fd);
    return rc;
}

int end_contract(int fd, tuvod_error_t **errors) {
    if (clear_contract_template(fd) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to clear active contract template");
        return -1;
    }
    ctid_t ctid = latest_ctid(errors);
    if (ctid < 0)
        return -1;
    PRINT_DEBUG(DEBUG_CONTRACT, "Ending contract %llu\n", static_cast<ull>(ctid));
    return abandon_contract(ctid, errors);
}

void set_contract_secrets(ctid_t ctid, const char *const *argv, int redact) {
    std::vector<std::string> secrets = secret_args(argv, redact);
    std::lock_guard<std::mutex> lock(table_mutex);
    if (contracts.count(ctid) != 0)
        contract_secrets[ctid] = std::move(secrets);
}

int contract_state(ctid_t ctid, char **members_str, json_t **members_js) {
    procgroup *group = ctid > 0 ? find_contract(ctid) : nullptr;
    if (group == nullptr) {
        PRINT_DEBUG(DEBUG_CONTRACT, "Failed to open process contract status.\n");
        return -1;
    }
    std::vector<pid_t> pids;
    if (group->members(&pids) != 0) {
        PRINT_DEBUG(DEBUG_CONTRACT, "Failed to get contract members: %s\n", strerror(errno));
        return -1;
    }
    std::vector<std::string> secrets = secrets_of(ctid);
    cstr_ptr listing;
    json_ptr obj;
    if (members_str != nullptr && !(listing = contract_members_str(pids, secrets)))
        return -1;
    if (members_js != nullptr && !(obj = contract_members_json(pids, secrets)))
        return -1;
    if (members_str != nullptr)
        *members_str = listing.release();
    if (members_js != nullptr)
        *members_js = obj.release();
    return 0;
}

namespace {

// *by_cancel tells whether a cancel, not the time-out, started the escalation.
tuvod_exec_state_t wait_or_escalate(tuvod_script_t *script, ctid_t ctid, pid_t pid, int64_t timeout,
                                    int *exit_status, bool *by_cancel, tuvod_error_t **errors) {
    if (wait_contract_timeout(ctid, timeout, true) == 0)
        return collect_exit(script, find_contract(ctid), pid, exit_status, errors);

    if (tuvod_run_t *run = current_run(); run != nullptr && run->cancelled) {
        *by_cancel = true;
        set_cancel_err(run, run->request_uuid.c_str(), errors);
    } else {
        run_args_view_t view;
        view.secrets = secrets_of(ctid);
        if (procgroup *group = find_contract(ctid))
            group->members(&view.members);
        json_ptr snapshot(system_stats_json(&view));
        set_err(INFO_ERROR, errors, TUVOD_ETIMEDOUT, snapshot.get(),
                "Script %s (CTID %llu) failed to terminate normally after %ds",
                script->script_name.c_str(), static_cast<ull>(ctid), script->script_timeout);
    }

    for (const contract_killer_desc_t *step = script->script_killsigs; step != nullptr;
         step = step->next) {
        if (signal_contract_and_wait(script, ctid, step, *by_cancel ? TUVOD_ECANCELED : TUVOD_ETIMEDOUT,
                                     errors) == 0) {
            reap_if_exited(ctid);
            return TUVOD_EXEC_TIMEDOUT;
        }
    }

    char *listing_raw = nullptr;
    json_t *stats_raw = nullptr;
    if (contract_state(ctid, &listing_raw, &stats_raw) != 0) {
        set_err(INFO_WARN, errors, TUVOD_EIO, nullptr,
                "Unable to get contract state for unterminated CTID %llu", static_cast<ull>(ctid));
    } else {
        cstr_ptr listing(listing_raw);
        json_ptr stats(stats_raw);
        set_err(INFO_ERROR, errors, TUVOD_EIO, stats.get(),
                "Unable to terminate the following contract members of CTID %llu:\n%s",
                static_cast<ull>(ctid), listing.get());
    }
    // A child still alive is reaped once it exits, after the contract is
    // abandoned.
    reap_if_exited(ctid);
    return TUVOD_EXEC_WONTDIE;
}

} // namespace

tuvod_exec_state_t wait_for_contract(tuvod_script_t *script, ctid_t ctid, pid_t pid, int64_t timeout,
                                     int *exit_status, tuvod_error_t **errors) {
    bool by_cancel = false;
    tuvod_exec_state_t state =
        wait_or_escalate(script, ctid, pid, timeout, exit_status, &by_cancel, errors);
    // A run ended on request, or by its memory limit, died whatever its
    // processes made of the signal.
    if (by_cancel && state == TUVOD_EXEC_TIMEDOUT)
        state = TUVOD_EXEC_DIED;
    procgroup *group = find_contract(ctid);
    long long ooms = group != nullptr && script->script_limits.memory_max > 0 ? group->oom_kills() : 0;
    if (ooms > 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr,
                "Script %s (CTID %llu) was killed by its memory limit of %lld bytes (%lld OOM kills)",
                script->script_name.c_str(), static_cast<ull>(ctid),
                static_cast<long long>(script->script_limits.memory_max), ooms);
        if (state != TUVOD_EXEC_WONTDIE)
            state = TUVOD_EXEC_DIED;
    }
    return state;
}
