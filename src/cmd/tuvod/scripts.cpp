// Script configurations.
//
// Design: the main thread builds a complete new list from the directory,
// swaps it in under daemon_mutex, and drops the list's references to the
// removed records; it never waits for their runs. Lookups hand out their own
// reference, taken under daemon_mutex, so a record a request still holds
// (queued, waiting at the concurrency gate, running, or an asynchronous run
// not yet started) outlives the reload; it is destroyed when the last
// reference goes.
#include "scripts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "confine.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "privilege.hpp"
#include "utils.hpp"

namespace {

contract_killer_desc_t default_steps[3] = {
    {SIGQUIT, 30, &default_steps[1]},
    {SIGTERM, 5, &default_steps[2]},
    {SIGKILL, 5, nullptr},
};

// Frees a step list being built unless it was handed over.
class killer_list {
  public:
    killer_list() = default;
    ~killer_list() { free_contract_killer_descs(head_); }
    killer_list(const killer_list &) = delete;
    killer_list &operator=(const killer_list &) = delete;

    void append(std::unique_ptr<contract_killer_desc_t> step) {
        contract_killer_desc_t *raw = step.release();
        if (tail_ == nullptr)
            head_ = raw;
        else
            tail_->next = raw;
        tail_ = raw;
    }
    contract_killer_desc_t *release() {
        tail_ = nullptr;
        return std::exchange(head_, nullptr);
    }

  private:
    contract_killer_desc_t *head_ = nullptr;
    contract_killer_desc_t *tail_ = nullptr;
};

int file_has_json_suffix(const struct dirent *entry) {
    static constexpr char suffix[] = ".json";
    constexpr size_t suffix_len = sizeof suffix - 1;
    size_t len = strlen(entry->d_name);
    return len >= suffix_len && strcmp(entry->d_name + len - suffix_len, suffix) == 0;
}

int redact_args_from_json(const char *fname, json_t *redact_js, uint32_t *mask) {
    *mask = 0;
    if (!json_is_array(redact_js)) {
        PRINT_INFO(INFO_ERROR, "Invalid redactArguments in %s - array expected\n", fname);
        return -1;
    }
    size_t index;
    json_t *value_js;
    json_array_foreach(redact_js, index, value_js) {
        if (!json_is_integer(value_js)) {
            PRINT_INFO(INFO_ERROR, "Invalid redactArguments[%d] in %s - integer expected\n",
                       static_cast<int>(index), fname);
            return -1;
        }
        json_int_t n = json_integer_value(value_js);
        if (n < 0 || n > 30) {
            PRINT_INFO(INFO_ERROR, "Invalid redactArguments[%d] in %s - out of range (0-30)\n",
                       static_cast<int>(index), fname);
            return -1;
        }
        *mask |= UINT32_C(1) << n;
    }
    return 0;
}

// One step; the members are read as full-width integers and range-checked
// here, so that a huge number cannot wrap into a plausible signal or wait.
std::unique_ptr<contract_killer_desc_t> killer_desc_from_json(const char *fname, json_t *step_js) {
    json_error_t error;
    json_int_t sig = 0;
    json_int_t timeout = 0;
    if (json_unpack_ex(step_js, &error, JSON_STRICT, "{s:I, s:I}", "signal", &sig, "timeout",
                       &timeout) != 0) {
        PRINT_INFO(INFO_ERROR, "Malformed script in %s: %s (line %d)", fname, error.text,
                   error.line);
        return nullptr;
    }
    if (sig < 0 || sig > SIGRTMAX) {
        PRINT_INFO(INFO_ERROR, "Invalid signal %" JSON_INTEGER_FORMAT " in %s\n", sig, fname);
        return nullptr;
    }
    if (timeout <= 0 || timeout > INT_MAX) {
        PRINT_INFO(INFO_ERROR, "Invalid signal timeout %" JSON_INTEGER_FORMAT " in %s\n", timeout,
                   fname);
        return nullptr;
    }
    std::unique_ptr<contract_killer_desc_t> step(new (std::nothrow) contract_killer_desc_t);
    if (!step) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate kill desc for %s\n", fname);
        return nullptr;
    }
    step->sig = static_cast<int>(sig);
    step->timeout = static_cast<int>(timeout);
    return step;
}

// A new list, default_killsigs, or none after logging why.
contract_killer_desc_t *contract_killer_descs_from_json(const char *fname, json_t *killsigs_js) {
    if (json_array_size(killsigs_js) == 0)
        return default_killsigs;
    killer_list steps;
    size_t index;
    json_t *step_js;
    json_array_foreach(killsigs_js, index, step_js) {
        auto step = killer_desc_from_json(fname, step_js);
        if (!step)
            return nullptr;
        steps.append(std::move(step));
    }
    return steps.release();
}

// Opens a configuration file without blocking (a FIFO named "*.json" must not
// stall a reload) and refuses anything but a regular file.
unique_fd open_script_file(int dir_fd, const char *name, const char *path) {
    unique_fd fd(openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        PRINT_INFO(INFO_ERROR, "Unable to open script file %s for reading\n", path);
        return unique_fd();
    }
    return fd;
}

json_ptr read_script_file(int dir_fd, const char *name, const char *path) {
    unique_fd fd = open_script_file(dir_fd, name, path);
    if (!fd)
        return nullptr;
    json_error_t error;
    json_ptr script_js(json_loadfd(fd.get(), 0, &error));
    if (!script_js)
        PRINT_INFO(INFO_ERROR, "Unable to parse script file %s: %s (line %d)\n", path, error.text,
                   error.line);
    return script_js;
}

// Drops the list's reference to a removed record; the record itself goes
// with the last reference, which a run still going may hold.
void free_tuvod_script(tuvod_script_ref script) {
    PRINT_DEBUG(DEBUG_GENERAL, "Freeing script config for %s\n", script->script_name.c_str());
    script.reset();
}

// Unlinks each record first, so that a record still held by a request does
// not keep the rest of the old list alive, and no destructor recurses down it.
void free_tuvod_scripts(tuvod_script_ref scripts) {
    while (scripts) {
        tuvod_script_ref next = std::move(scripts->next);
        free_tuvod_script(std::move(scripts));
        scripts = std::move(next);
    }
}

} // namespace

contract_killer_desc_t *const default_killsigs = &default_steps[0];

void free_contract_killer_descs(contract_killer_desc_t *descs) {
    if (descs == default_killsigs)
        return;
    while (descs != nullptr) {
        std::unique_ptr<contract_killer_desc_t> step(descs);
        descs = descs->next;
    }
}

tuvod_script_t::~tuvod_script_t() {
    free_contract_killer_descs(script_killsigs);
    pthread_cond_destroy(&script_cv);
    pthread_mutex_destroy(&script_mutex);
}

namespace {

// "quota period" with quota a positive number of microseconds or "max",
// period 1000 to 1000000 microseconds (the kernel's range).
bool valid_cpu_max(const char *text) {
    char quota[32];
    long long period = 0;
    int used = 0;
    if (sscanf(text, "%31s %lld%n", quota, &period, &used) != 2 || text[used] != '\0')
        return false;
    if (period < 1000 || period > 1000000)
        return false;
    if (strcmp(quota, "max") == 0)
        return true;
    char *end = nullptr;
    long long q = strtoll(quota, &end, 10);
    return *end == '\0' && q >= 1000 && q <= 1000000LL * 1000000LL;
}

// The optional "limits" member; false after logging why it is malformed.
bool limits_from_json(const char *path, json_t *limits_js, tuvod_limits_t *limits) {
    if (limits_js == nullptr)
        return true;
    json_error_t error;
    json_int_t memory_max = 0, tasks_max = 0, cpu_weight = 0;
    const char *cpu_max = nullptr;
    if (json_unpack_ex(limits_js, &error, JSON_STRICT, "{s?I, s?I, s?I, s?s}", "memoryMax",
                       &memory_max, "tasksMax", &tasks_max, "cpuWeight", &cpu_weight, "cpuMax",
                       &cpu_max) != 0) {
        PRINT_INFO(INFO_ERROR, "Malformed script in %s: %s (line %d)\n", path, error.text,
                   error.line);
        return false;
    }
    const char *bad = nullptr;
    if (json_object_get(limits_js, "memoryMax") != nullptr && memory_max < 4096)
        bad = "memoryMax must be at least 4096 bytes";
    else if (json_object_get(limits_js, "tasksMax") != nullptr && (tasks_max < 1 || tasks_max > INT_MAX))
        bad = "tasksMax must be from 1 to 2147483647";
    else if (json_object_get(limits_js, "cpuWeight") != nullptr && (cpu_weight < 1 || cpu_weight > 10000))
        bad = "cpuWeight must be from 1 to 10000";
    else if (cpu_max != nullptr && !valid_cpu_max(cpu_max))
        bad = "cpuMax must be \"QUOTA PERIOD\" (microseconds; QUOTA 1000 or more, or max; PERIOD 1000-1000000)";
    if (bad != nullptr) {
        PRINT_INFO(INFO_ERROR, "Malformed script in %s: limits: %s\n", path, bad);
        return false;
    }
    limits->memory_max = memory_max;
    limits->tasks_max = tasks_max;
    limits->cpu_weight = static_cast<int>(cpu_weight);
    limits->cpu_max = cpu_max != nullptr ? cpu_max : "";
    return true;
}

// Takes the optional "allowedCallers" (a non-empty array of non-empty CN
// strings) out of script_js. False, logged, when it is malformed.
bool take_allowed_callers(json_t *script_js, const char *path, std::vector<std::string> *out) {
    json_t *list_js = json_object_get(script_js, "allowedCallers");
    if (list_js == nullptr)
        return true;
    bool ok = json_is_array(list_js) && json_array_size(list_js) > 0;
    size_t i;
    json_t *cn_js;
    json_array_foreach(list_js, i, cn_js) {
        if (!json_is_string(cn_js) || json_string_length(cn_js) == 0 ||
            strlen(json_string_value(cn_js)) != json_string_length(cn_js)) {
            ok = false;
            break;
        }
        out->emplace_back(json_string_value(cn_js));
    }
    if (!ok) {
        PRINT_INFO(INFO_ERROR, "Malformed script in %s: allowedCallers is not a list of certificate names\n",
                   path);
        return false;
    }
    json_object_del(script_js, "allowedCallers");
    return true;
}

// A user or group that does not exist yet is no reason to drop the file
// (it may be created later), but its runs are refused until it exists.
void warn_unknown_run_as(const tuvod_script_t *script, const char *path) {
    run_identity_t id;
    std::string why;
    if (script->script_priv.run_as && resolve_run_identity(script->script_priv, &id, &why) != 0)
        PRINT_INFO(INFO_WARN, "Script %s in %s: runAs: %s; its runs are refused until it exists\n",
                   script->script_name.c_str(), path, why.c_str());
}

// A record from the file file_name in dir_fd (AT_FDCWD: a path); path names
// it in messages.
tuvod_script_ref script_from_file_at(int dir_fd, const char *file_name, const char *path) {
    json_ptr script_js = read_script_file(dir_fd, file_name, path);
    if (!script_js)
        return nullptr;
    std::vector<std::string> allowed_callers;
    if (!take_allowed_callers(script_js.get(), path, &allowed_callers))
        return nullptr;
    tuvod_privilege_t priv;
    if (!take_privilege_members(script_js.get(), path, &priv))
        return nullptr;

    json_error_t error;
    const char *name, *script_path, *digest, *authority;
    json_int_t timeout;
    int nonblock, concurrent;
    json_t *redact_js, *killsigs_js, *limits_js = nullptr;
    if (json_unpack_ex(script_js.get(), &error, JSON_STRICT,
                       "{s:s, s:s, s:s, s:s, s:I, s:b, s:b, s:o, s:o, s?o}", "name", &name, "path",
                       &script_path, "digest", &digest, "authority", &authority, "timeout",
                       &timeout, "isNonBlocking", &nonblock, "allowConcurrentExecution",
                       &concurrent, "redactArguments", &redact_js, "killSignals",
                       &killsigs_js, "limits", &limits_js) != 0) {
        PRINT_INFO(INFO_ERROR, "Malformed script in %s: %s (line %d)\n", path, error.text,
                   error.line);
        return nullptr;
    }
    // Stored as int: a value that does not fit must not wrap into a short
    // or negative time-out.
    if (timeout < 0 || timeout > INT_MAX) {
        PRINT_INFO(INFO_ERROR,
                   "Malformed script in %s: timeout %" JSON_INTEGER_FORMAT " out of range (0-%d)\n",
                   path, timeout, INT_MAX);
        return nullptr;
    }
    // The interpreter of a script finds it by name after the child entered
    // its working directory.
    if (!priv.working_dir.empty() && script_path[0] != '/') {
        PRINT_INFO(INFO_ERROR, "Malformed script in %s: a workingDirectory needs an absolute path\n", path);
        return nullptr;
    }
    uint32_t redact_mask;
    if (redact_args_from_json(path, redact_js, &redact_mask) != 0)
        return nullptr;
    tuvod_limits_t limits;
    if (!limits_from_json(path, limits_js, &limits))
        return nullptr;

    tuvod_script_ref script;
    try {
        script = std::make_shared<tuvod_script_t>();
    } catch (const std::bad_alloc &) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate script desc\n");
        return nullptr;
    }
    if (timeout == 0) {
        PRINT_INFO(INFO_ERROR, "Setting timeout of %s to 5\n", name);
        timeout = 5;
    }
    try {
        script->script_name = name;
        script->script_path = script_path;
        script->script_digest = digest;
        script->script_authority = authority;
    } catch (const std::bad_alloc &) {
        PRINT_INFO(INFO_ERROR, "Failed to create script desc\n");
        return nullptr;
    }
    script->script_timeout = static_cast<int>(timeout);
    script->script_nonblock = nonblock != 0;
    script->script_concurrent = concurrent != 0;
    script->script_redact_argv = static_cast<int>(redact_mask);
    script->script_allowed_callers = std::move(allowed_callers);
    script->script_limits = limits;
    script->script_priv = std::move(priv);
    warn_unknown_run_as(script.get(), path);
    script->script_killsigs = contract_killer_descs_from_json(path, killsigs_js);
    if (script->script_killsigs == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to create script desc\n");
        return nullptr;
    }
    std::string confined = privilege_summary(script->script_priv);
    PRINT_DEBUG(DEBUG_GENERAL,
                "Loaded script config for %s (%s) - %s, %s concurrent execution, timeout %ds%s%s\n",
                script->script_name.c_str(), script->script_path.c_str(),
                script->script_nonblock ? "non-blocking" : "blocking",
                script->script_concurrent ? "allows" : "does not alllow", script->script_timeout,
                confined.empty() ? "" : ", ", confined.c_str());
    return script;
}

} // namespace

tuvod_script_ref tuvod_script_from_file(const char *path) {
    return script_from_file_at(AT_FDCWD, path, path);
}

int tuvod_load_scripts(tuvod_state_t *tuvod, int *skipped) {
    if (skipped != nullptr)
        *skipped = 0;
    // Names are listed and files read through one descriptor of the
    // directory, so a directory renamed away and back during the reload
    // cannot leave a listing whose files all fail to open.
    unique_fd dir(open(tuvod->scripts_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    dirent_list entries;
    if (!dir || entries.scan(dir.get(), file_has_json_suffix) < 0) {
        PRINT_INFO(INFO_ERROR, "Unable to scan %s for script configs: %s\n", tuvod->scripts_dir,
                   strerror(errno));
        return -1;
    }
    if (entries.size() == 0) {
        PRINT_INFO(INFO_WARN, "No script configs found in %s\n", tuvod->scripts_dir);
        return 0;
    }

    tuvod_script_ref new_scripts;
    tuvod_script_t *tail = nullptr;
    try {
        for (int i = 0; i < entries.size(); i++) {
            std::string path = std::string(tuvod->scripts_dir) + "/" + entries.name(i);
            tuvod_script_ref script = script_from_file_at(dir.get(), entries.name(i), path.c_str());
            if (!script) {
                if (skipped != nullptr)
                    ++*skipped;
                continue;
            }
            tuvod_script_t *raw = script.get();
            if (tail == nullptr)
                new_scripts = std::move(script);
            else
                tail->next = std::move(script);
            tail = raw;
        }
    } catch (const std::bad_alloc &) {
        // The list in force stays; a half-read directory must not replace it.
        PRINT_INFO(INFO_ERROR, "Failed to allocate script desc\n");
        return -1;
    }

    tuvod_script_ref old_scripts;
    {
        mutex_guard lock(&tuvod->daemon_mutex);
        old_scripts = std::exchange(tuvod->tuvod_scripts, std::move(new_scripts));
    }
    free_tuvod_scripts(std::move(old_scripts));
    return 0;
}

tuvod_script_ref tuvod_script(tuvod_state_t *tuvod, const char *path) {
    if (path == nullptr)
        return nullptr;
    mutex_guard lock(&tuvod->daemon_mutex);
    for (const tuvod_script_ref *s = &tuvod->tuvod_scripts; *s; s = &(*s)->next)
        if ((*s)->script_path == path)
            return *s;
    return nullptr;
}
