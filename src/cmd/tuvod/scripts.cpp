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

#include "caller.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
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

struct md_ctx_deleter {
    void operator()(EVP_MD_CTX *ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, md_ctx_deleter>;

// The result of scandir: the entries and the array that holds them.
class dirent_list {
  public:
    dirent_list() = default;
    ~dirent_list() {
        for (int i = 0; i < n_; i++)
            free(entries_[i]);
        free(entries_);
    }
    dirent_list(const dirent_list &) = delete;
    dirent_list &operator=(const dirent_list &) = delete;

    int scan(int dir_fd, int (*filter)(const struct dirent *)) {
        n_ = scandirat(dir_fd, ".", &entries_, filter, alphasort);
        if (n_ < 0) {
            n_ = 0;
            return -1;
        }
        return n_;
    }
    int size() const { return n_; }
    const char *name(int i) const { return entries_[i]->d_name; }

  private:
    struct dirent **entries_ = nullptr;
    int n_ = 0;
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

// A record from the file file_name in dir_fd (AT_FDCWD: a path); path names
// it in messages.
tuvod_script_ref script_from_file_at(int dir_fd, const char *file_name, const char *path) {
    json_ptr script_js = read_script_file(dir_fd, file_name, path);
    if (!script_js)
        return nullptr;
    std::vector<std::string> allowed_callers;
    if (!take_allowed_callers(script_js.get(), path, &allowed_callers))
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
    script->script_killsigs = contract_killer_descs_from_json(path, killsigs_js);
    if (script->script_killsigs == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to create script desc\n");
        return nullptr;
    }
    PRINT_DEBUG(DEBUG_GENERAL,
                "Loaded script config for %s (%s) - %s, %s concurrent execution, timeout %ds\n",
                script->script_name.c_str(), script->script_path.c_str(),
                script->script_nonblock ? "non-blocking" : "blocking",
                script->script_concurrent ? "allows" : "does not alllow", script->script_timeout);
    return script;
}

} // namespace

tuvod_script_ref tuvod_script_from_file(const char *path) {
    return script_from_file_at(AT_FDCWD, path, path);
}

int tuvod_load_scripts(tuvod_state_t *tuvod) {
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
            if (!script)
                continue;
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

int validate_caller(tuvod_script_t *script, const std::string &caller, tuvod_error_t **errors) {
    if (script->script_allowed_callers.empty() || !tuvod_caller_is_tls(caller))
        return 0;
    const std::string cn = caller.substr(std::strlen("tls:"));
    for (const std::string &allowed : script->script_allowed_callers)
        if (allowed == cn)
            return 0;
    set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr, "Caller '%s' may not run script '%s'", caller.c_str(),
            script->script_path.c_str());
    return -1;
}

namespace {

// Compares the SHA-256 digests of both texts in constant time, so the time
// taken tells neither how much of a guess was right nor the length sought.
bool same_secret_text(const std::string &expected, const char *given) {
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned int a_len = 0, b_len = 0;
    if (EVP_Digest(expected.data(), expected.size(), a, &a_len, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(given, strlen(given), b, &b_len, EVP_sha256(), nullptr) != 1 || a_len != b_len)
        return false;
    return CRYPTO_memcmp(a, b, a_len) == 0;
}

} // namespace

int validate_authority(tuvod_script_t *script, const char *authority, tuvod_error_t **errors) {
    if (authority != nullptr && same_secret_text(script->script_authority, authority))
        return 0;
    set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr, "No authority to run script '%s'",
            script->script_path.c_str());
    return -1;
}

namespace {

constexpr int max_symlinks = 40;
constexpr int max_dir_depth = 4096;

// Owners whose files root may run: root, and the daemon's own user when it
// runs unprivileged.
bool trusted_owner(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

std::string owner_reason(const char *what, const std::string &where, uid_t uid) {
    char text[64];
    snprintf(text, sizeof text, "' is owned by uid %u", static_cast<unsigned>(uid));
    return std::string(what) + " '" + where + text;
}

// A directory passed on the way to a script: nobody but root may be able to
// change what it holds. A sticky directory lets nobody rename or remove
// another user's entries, so it may be writable by others.
int check_dir_fd(int fd, const std::string &where, std::string *reason) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if (!trusted_owner(st.st_uid)) {
        *reason = owner_reason("directory", where, st.st_uid);
        return -1;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        *reason = "directory '" + where + "' is writable by group or others";
        return -1;
    }
    return 0;
}

// For a relative path: the working directory and every directory above it.
int check_dirs_above(int start_fd, std::string *reason) {
    unique_fd cur(fcntl(start_fd, F_DUPFD_CLOEXEC, 0));
    std::string where = ".";
    for (int depth = 0; cur && depth < max_dir_depth; depth++) {
        if (check_dir_fd(cur.get(), where, reason) != 0)
            return -1;
        unique_fd up(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat a, b;
        if (!up || fstat(cur.get(), &a) != 0 || fstat(up.get(), &b) != 0)
            return -1;
        if (a.st_dev == b.st_dev && a.st_ino == b.st_ino)
            return 0;
        cur = std::move(up);
        where += "/..";
    }
    errno = ELOOP;
    return -1;
}

std::deque<std::string> split_path(const std::string &path) {
    std::deque<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > pos)
            parts.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts;
}

// Walks path one component at a time from "/" (or the working directory),
// checking each directory as it is entered; a symbolic link on the way is
// read in a directory already checked and its target walked the same way.
// 0 with the checked parent directory and the final name; -1 with *reason
// set (refused) or with errno (the path cannot be walked).
int open_checked_parent(const std::string &path, unique_fd *dir, std::string *leaf,
                        std::string *reason) {
    std::deque<std::string> parts = split_path(path);
    bool absolute = !path.empty() && path[0] == '/';
    unique_fd cur(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string where = absolute ? "" : ".";
    if (!cur)
        return -1;
    if (absolute ? check_dir_fd(cur.get(), "/", reason) != 0 : check_dirs_above(cur.get(), reason) != 0)
        return -1;
    int links = 0;
    while (!parts.empty()) {
        std::string name = std::move(parts.front());
        parts.pop_front();
        if (name == ".")
            continue;
        if (parts.empty()) {
            *leaf = name;
            *dir = std::move(cur);
            return 0;
        }
        unique_fd next(openat(cur.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!next || fstat(next.get(), &st) != 0)
            return -1;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlinkat(next.get(), "", target, sizeof target - 1);
            if (n <= 0 || ++links > max_symlinks) {
                if (n >= 0)
                    errno = n == 0 ? ENOENT : ELOOP;
                return -1;
            }
            std::string text(target, static_cast<size_t>(n));
            std::deque<std::string> more = split_path(text);
            parts.insert(parts.begin(), more.begin(), more.end());
            if (text[0] == '/') {
                cur.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                where.clear();
                if (!cur || check_dir_fd(cur.get(), "/", reason) != 0)
                    return -1;
            }
            continue;
        }
        where += "/" + name;
        if (check_dir_fd(next.get(), where, reason) != 0)
            return -1;
        cur = std::move(next);
    }
    errno = EISDIR;
    return -1;
}

bool identity_equal(const script_identity_t &a, const script_identity_t &b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtim.tv_sec == b.mtim.tv_sec && a.mtim.tv_nsec == b.mtim.tv_nsec &&
           a.ctim.tv_sec == b.ctim.tv_sec && a.ctim.tv_nsec == b.ctim.tv_nsec;
}

void refuse(tuvod_script_t *script, const std::string &reason, tuvod_error_t **errors) {
    set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr, "Refusing '%s' for '%s': %s",
            script->script_path.c_str(), script->script_name.c_str(), reason.c_str());
}

void stat_failed(tuvod_script_t *script, int err, tuvod_error_t **errors) {
    set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to stat executable '%s' for '%s': %s",
            script->script_path.c_str(), script->script_name.c_str(), strerror(err));
}

// Opens the final name without following a symbolic link, and only once
// it is known to be a regular file (opening a device may act on it).
int open_script_leaf(tuvod_script_t *script, int dir, const std::string &leaf, unique_fd *fd,
                     struct stat *st, tuvod_error_t **errors) {
    struct stat lst;
    if (fstatat(dir, leaf.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0) {
        stat_failed(script, errno, errors);
        return -1;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "...script %s exists\n", script->script_path.c_str());
    if (S_ISLNK(lst.st_mode)) {
        refuse(script, "it is a symbolic link", errors);
        return -1;
    }
    if (!S_ISREG(lst.st_mode)) {
        refuse(script, "it is not a regular file", errors);
        return -1;
    }
    fd->reset(openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!*fd || fstat(fd->get(), st) != 0) {
        stat_failed(script, errno, errors);
        return -1;
    }
    if (!S_ISREG(st->st_mode) || st->st_dev != lst.st_dev || st->st_ino != lst.st_ino) {
        refuse(script, "it was replaced while it was checked", errors);
        return -1;
    }
    return 0;
}

// Owner and mode of the open file.
int check_file_mode(tuvod_script_t *script, const struct stat &st, tuvod_error_t **errors) {
    const char *path = script->script_path.c_str();
    if (!trusted_owner(st.st_uid)) {
        char text[64];
        snprintf(text, sizeof text, "it is owned by uid %u", static_cast<unsigned>(st.st_uid));
        refuse(script, text, errors);
        return -1;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuse(script, "it is writable by group or others", errors);
        return -1;
    }
    if ((st.st_mode & S_IXUSR) == 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "'%s' for '%s' is not executable", path,
                script->script_name.c_str());
        return -1;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "...script %s is executable\n", path);
    return 0;
}

// The digest of the open file, skipped while its identity is the one that
// last matched.
int check_digest(tuvod_script_t *script, int fd, const script_identity_t &id,
                 tuvod_error_t **errors) {
    const char *path = script->script_path.c_str();
    if (script->script_digest.empty()) {
        PRINT_DEBUG(DEBUG_GENERAL, "...skip digest check for %s\n", path);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(script->digest_mutex);
        if (script->digest_checked && identity_equal(script->digest_identity, id)) {
            PRINT_DEBUG(DEBUG_GENERAL, "...no changes in %s since last check\n", path);
            return 0;
        }
    }
    char digest_str[129];
    if (tuvod_script_digest_fd(fd, digest_str, sizeof digest_str) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to compute the digest for '%s'",
                path);
        return -1;
    }
    // A write while the file was read would leave a digest of neither content.
    struct stat after;
    if (fstat(fd, &after) != 0 || !same_script_identity(id, after) ||
        script->script_digest != digest_str) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Script digest mismatch for '%s'", path);
        return -1;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "...script %s matches digest\n", path);
    std::lock_guard<std::mutex> lock(script->digest_mutex);
    script->digest_identity = id;
    script->digest_checked = true;
    return 0;
}

bool starts_with_interpreter(int fd) {
    char head[2];
    return pread(fd, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
}

} // namespace

script_identity_t script_identity_of(const struct stat &st) {
    script_identity_t id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtim = st.st_mtim;
    id.ctim = st.st_ctim;
    return id;
}

bool same_script_identity(const script_identity_t &id, const struct stat &st) noexcept {
    return id.dev == st.st_dev && id.ino == st.st_ino && id.size == st.st_size &&
           id.mtim.tv_sec == st.st_mtim.tv_sec && id.mtim.tv_nsec == st.st_mtim.tv_nsec &&
           id.ctim.tv_sec == st.st_ctim.tv_sec && id.ctim.tv_nsec == st.st_ctim.tv_nsec;
}

bool same_script_content(const script_identity_t &id, const struct stat &st) noexcept {
    return id.dev == st.st_dev && id.ino == st.st_ino && id.size == st.st_size &&
           id.mtim.tv_sec == st.st_mtim.tv_sec && id.mtim.tv_nsec == st.st_mtim.tv_nsec;
}

int check_script_file(tuvod_script_t *script, checked_script_t *out, tuvod_error_t **errors) {
    PRINT_DEBUG(DEBUG_GENERAL, "Validating script %s...\n", script->script_name.c_str());
    unique_fd dir;
    std::string leaf, reason;
    if (open_checked_parent(script->script_path, &dir, &leaf, &reason) != 0) {
        if (!reason.empty())
            refuse(script, reason, errors);
        else
            stat_failed(script, errno, errors);
        return -1;
    }
    unique_fd fd;
    struct stat st;
    if (open_script_leaf(script, dir.get(), leaf, &fd, &st, errors) != 0 ||
        check_file_mode(script, st, errors) != 0)
        return -1;
    script_identity_t id = script_identity_of(st);
    if (check_digest(script, fd.get(), id, errors) != 0)
        return -1;
    out->interpreted = starts_with_interpreter(fd.get());
    out->id = id;
    out->fd = std::move(fd);
    return 0;
}

int validate_script(tuvod_script_t *script, tuvod_error_t **errors) {
    checked_script_t checked;
    return check_script_file(script, &checked, errors);
}

int tuvod_script_digest(const char *scptfname, char *digest_str, size_t digest_strsz) {
    // Non-blocking so that a FIFO in the executable's place cannot hang a worker.
    unique_fd fd(open(scptfname, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return -1;
    return tuvod_script_digest_fd(fd.get(), digest_str, digest_strsz);
}

int tuvod_script_digest_fd(int fd, char *digest_str, size_t digest_strsz) {
    md_ctx_ptr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return -1;
    unsigned char block[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(fd, block, sizeof block, offset);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A digest of part of the file would be reported as a mismatch
            // rather than as the read failure it is.
            return -1;
        }
        offset += n;
        if (EVP_DigestUpdate(ctx.get(), block, static_cast<size_t>(n)) != 1)
            return -1;
    }

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &md_len) != 1)
        return -1;
    if (2 * static_cast<size_t>(md_len) >= digest_strsz)
        return -1;
    for (unsigned int i = 0; i < md_len; i++)
        snprintf(digest_str + 2 * i, 3, "%02x", md[i]);
    return 0;
}

// ---- Run gates ----------------------------------------------------------

namespace {

// Gates by script path. An entry lives while a record or a run holds its
// gate; expired entries are swept when a gate is made.
std::mutex gates_mutex;
std::map<std::string, std::weak_ptr<tuvod_run_gate_t>> gates;

std::shared_ptr<tuvod_run_gate_t> gate_for_path(const std::string &path) {
    std::lock_guard<std::mutex> lock(gates_mutex);
    std::weak_ptr<tuvod_run_gate_t> &slot = gates[path];
    std::shared_ptr<tuvod_run_gate_t> gate = slot.lock();
    if (gate)
        return gate;
    for (auto it = gates.begin(); it != gates.end();)
        it = it->second.expired() && it->first != path ? gates.erase(it) : std::next(it);
    gate = std::make_shared<tuvod_run_gate_t>();
    slot = gate;
    return gate;
}

} // namespace

std::shared_ptr<tuvod_run_gate_t> tuvod_script_gate(tuvod_script_t *script) {
    mutex_guard lock(&script->script_mutex);
    if (!script->script_gate)
        script->script_gate = gate_for_path(script->script_path);
    return script->script_gate;
}
