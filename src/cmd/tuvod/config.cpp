// The daemon configuration file.
//
// Loaded once on the main thread before any other thread exists: the file is
// opened without following links, its owner and mode repaired through the
// open descriptor, its object merged with the defaults (objects recursively,
// arrays by appending missing default elements) and written back only when
// the merge changed it. The rewrite goes to a temporary file in the same
// directory that is renamed over the old one, so a full disk or a crash never
// leaves a half-written or empty file that would cost the daemon its
// instance identifier at the next start. A file that cannot be renamed over
// (a bind-mounted file, as containers use) is rewritten in place instead.
// A file that does not parse, or is empty, is replaced in memory by the last
// good copy (kept beside it each time the file parses), so a typo never
// turns TLS off or changes the listeners; the unparsable file is left for
// the administrator to fix. Only without such a copy are the defaults used,
// the unparsable file then copied aside before they replace it, so the
// administrator's settings and the identifier are never lost.
#include "config.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "config_check.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "utils.hpp"

namespace {

constexpr mode_t CONFIG_MODE = 0600;
constexpr int CONFIG_DUMP_FLAGS = JSON_INDENT(4);
constexpr const char *MGMT_IF_NAME = "clmgmt0";
constexpr size_t IF_NAME_MAX = 15;

struct ifaddrs_deleter {
    void operator()(struct ifaddrs *ifa) const noexcept { freeifaddrs(ifa); }
};
using ifaddrs_ptr = std::unique_ptr<struct ifaddrs, ifaddrs_deleter>;

// Text of the first address of the family on the named interface; empty
// when it has none. -1 when the interfaces cannot be listed.
int if_addr_text(const char *if_name, int family, std::string &text) {
    struct ifaddrs *head = nullptr;
    if (getifaddrs(&head) != 0)
        return -1;
    ifaddrs_ptr owner(head);
    const std::string wanted(if_name, strnlen(if_name, IF_NAME_MAX));
    for (struct ifaddrs *ifa = head; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != family || wanted != ifa->ifa_name)
            continue;
        char buf[INET6_ADDRSTRLEN] = {};
        const void *addr = nullptr;
        if (family == AF_INET)
            addr = &reinterpret_cast<const struct sockaddr_in *>(ifa->ifa_addr)->sin_addr;
        else if (family == AF_INET6)
            addr = &reinterpret_cast<const struct sockaddr_in6 *>(ifa->ifa_addr)->sin6_addr;
        if (addr != nullptr && inet_ntop(family, addr, buf, sizeof buf) != nullptr)
            text = buf;
        return 0;
    }
    return -1; // no such interface, or none with an address of this family
}

// Appends the interface's address of the family to addrs_js: 1 when one was
// appended, 0 when not, -1 when the interface could not be queried.
int append_addr_for_if(json_t *addrs_js, const char *if_name, int family) {
    std::string text;
    if (if_addr_text(if_name, family, text) != 0)
        return -1;
    if (text.empty())
        return 0;
    return json_array_append_new(addrs_js, json_string(text.c_str())) == 0 ? 1 : 0;
}

// New reference to the default configuration, or none.
json_t *tuvod_default_config() {
    json_t *config_js = json_pack("{s:o, s:[s]}", "tuvodUUID", generate_uuid_js(), "bindAddrs", "127.0.0.1");
    if (config_js == nullptr)
        return nullptr;
    (void)append_addr_for_if(json_object_get(config_js, "bindAddrs"), MGMT_IF_NAME, AF_INET);
    return config_js;
}

// The object that holds keys under config_parent (borrowed), or none.
json_t *config_object_for_parent(tuvod_state_t *tuvod, const char *config_parent) {
    if (tuvod->config_js == nullptr)
        return nullptr;
    if (config_parent == nullptr)
        return tuvod->config_js;
    return json_object_get(tuvod->config_js, config_parent);
}

// The value of a key (borrowed), or none.
json_t *config_value(tuvod_state_t *tuvod, const char *config_parent, const char *config_key) {
    json_t *parent_js = config_object_for_parent(tuvod, config_parent);
    if (!json_is_object(parent_js))
        return nullptr;
    return json_object_get(parent_js, config_key);
}

// Rewrites the open file in place: the new text is written over the old
// from offset 0 before the file is cut to its length, so at no moment is
// the file empty.
int write_config_fd(int fd, json_t *config_js) {
    cstr_ptr text(json_dumps(config_js, CONFIG_DUMP_FLAGS));
    if (!text)
        return -1;
    size_t len = strlen(text.get());
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, text.get() + done, len - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    if (ftruncate(fd, static_cast<off_t>(len)) != 0)
        return -1;
    return fsync(fd);
}

// Replaces the file at path with config_js: written to a temporary file in
// the same directory, given the owner and mode, synced, then renamed over
// path. On failure the old file is left as it was, and errno says why.
int replace_config_file(const char *path, json_t *config_js, uid_t uid, gid_t gid) {
    std::string tmp_path = std::string(path) + ".XXXXXX";
    unique_fd fd(mkostemp(tmp_path.data(), O_CLOEXEC)); // mode 0600
    if (!fd)
        return -1;
    bool ok = fchown(fd.get(), uid, gid) == 0 && fchmod(fd.get(), CONFIG_MODE) == 0 &&
              json_dumpfd(config_js, fd.get(), CONFIG_DUMP_FLAGS) == 0 && fsync(fd.get()) == 0;
    fd.reset();
    if (ok && rename(tmp_path.c_str(), path) == 0)
        return 0;
    int saved = errno;
    unlink(tmp_path.c_str());
    errno = saved;
    return -1;
}

// True when the open file is the root of a mount (a bind-mounted file),
// which can only be rewritten in place.
bool is_mount_root(int fd) {
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &stx) != 0)
        return false;
    return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Writes the chosen configuration: by rename where possible, else in place
// (which can lose nothing when the file was empty).
int store_config(const char *path, int fd, bool was_empty, json_t *config_js, uid_t uid, gid_t gid) {
    if (!is_mount_root(fd)) {
        if (replace_config_file(path, config_js, uid, gid) == 0)
            return 0;
        if (errno != EBUSY && errno != EXDEV && !was_empty)
            return -1;
    }
    return write_config_fd(fd, config_js);
}

// Copies the open file's bytes to a new file next to it, named after the
// time; returns the copy's path, or empty after logging why not.
std::string keep_unparsable_copy(const char *path, int fd, uid_t uid, gid_t gid) {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm_utc;
    if (gmtime_r(&now, &tm_utc) == nullptr ||
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm_utc) == 0)
        snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(now));
    std::string copy;
    unique_fd out;
    for (int n = 0; n < 100 && !out; ++n) {
        copy = std::string(path) + ".unparsable-" + stamp + (n == 0 ? "" : "-" + std::to_string(n));
        out.reset(open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, CONFIG_MODE));
        if (!out && errno != EEXIST)
            break;
    }
    bool ok = static_cast<bool>(out) && fchown(out.get(), uid, gid) == 0;
    char buf[65536];
    for (off_t at = 0; ok;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0 && fsync(out.get()) == 0;
            break;
        }
        ok = write(out.get(), buf, static_cast<size_t>(n)) == n;
        at += n;
    }
    if (ok)
        return copy;
    PRINT_INFO(INFO_ERROR, "Unable to keep a copy of the unparsable config file %s: %s\n", path,
               strerror(errno));
    if (out)
        unlink(copy.c_str());
    return std::string();
}

// Brings the open file's owner and mode to uid:gid and 0600.
int repair_config_attrs(const char *path, int fd, const struct stat &st, uid_t uid, gid_t gid) {
    if (st.st_uid != uid || st.st_gid != gid) {
        PRINT_INFO(INFO_WARN, "Fixing ownership of %s (should be %d:%d, currently %d:%d)\n", path,
                   static_cast<int>(uid), static_cast<int>(gid), static_cast<int>(st.st_uid),
                   static_cast<int>(st.st_gid));
        if (fchown(fd, uid, gid) != 0) {
            PRINT_INFO(INFO_ERROR, "Unable to fix ownership of %s\n", path);
            return -1;
        }
    }
    if ((st.st_mode & 0777) != CONFIG_MODE) {
        PRINT_INFO(INFO_WARN, "Fixing permissions on %s (should be %o, currently %o)\n", path,
                   static_cast<unsigned>(CONFIG_MODE), static_cast<unsigned>(st.st_mode & 0777));
        if (fchmod(fd, CONFIG_MODE) != 0) {
            PRINT_INFO(INFO_ERROR, "Unable to set permissions on %s\n", path);
            return -1;
        }
    }
    return 0;
}

// Chooses the configuration from the file's parsed value (none when the
// file is empty or did not parse, err saying why) and the defaults (both
// consumed); sets must_write when the file has to be rewritten.
json_ptr choose_config(const char *path, off_t size, json_ptr parsed_js, const json_error_t &err,
                       json_ptr default_js, bool &must_write) {
    must_write = true;
    if (size == 0)
        return default_js;
    if (!parsed_js) {
        PRINT_INFO(INFO_WARN, "Unable to parse config file %s: %s (line %d), default will be used\n", path,
                   err.text, err.line);
        return default_js;
    }
    json_t *conf_js = parsed_js.get();
    switch (tuvod_merge_config_objects(&conf_js, default_js.get())) {
    case MERGE_NOCHANGE:
        must_write = false;
        return parsed_js;
    case MERGE_CHANGED:
        return parsed_js;
    case MERGE_FAILED:
    default:
        return default_js;
    }
}

// With the file empty or unparsable, the last good copy when there is one:
// the listeners and TLS of the last start, not the defaults. An empty file
// is restored from it (must_write); an unparsable one is left for the
// administrator to fix.
json_ptr use_last_good(const char *path, uid_t uid, bool unparsable, const json_error_t &err, bool &must_write) {
    json_ptr last_good = tuvod_read_last_good(path, uid);
    if (!last_good)
        return nullptr;
    const std::string copy = tuvod_last_good_path(path);
    if (unparsable) {
        PRINT_INFO(INFO_ERROR, "%s; running on the last good copy %s until it is fixed\n",
                   tuvod_config_parse_problem(path, err).c_str(), copy.c_str());
        must_write = false;
    } else {
        PRINT_INFO(INFO_WARN, "Config file %s is empty; restored from the last good copy %s\n", path, copy.c_str());
        must_write = true;
    }
    return last_good;
}

// Refuses a configuration whose keys that guard access hold values of the
// wrong type: read as absent, they would open what they close.
bool access_keys_valid(json_t *config_js) {
    std::vector<std::string> problems = tuvod_config_type_problems(config_js);
    for (const std::string &problem : problems)
        PRINT_INFO(INFO_ERROR, "%s\n", problem.c_str());
    return problems.empty();
}

} // namespace

tuvod_merge_result_t tuvod_merge_config_arrays(json_t **conf_js, json_t *default_js) {
    if (conf_js == nullptr || !json_is_array(*conf_js) || !json_is_array(default_js))
        return MERGE_FAILED;
    tuvod_merge_result_t result = MERGE_NOCHANGE;
    size_t i;
    json_t *default_elem;
    json_array_foreach(default_js, i, default_elem) {
        bool found = false;
        size_t j;
        json_t *conf_elem;
        json_array_foreach(*conf_js, j, conf_elem) {
            if (json_equal(conf_elem, default_elem)) {
                found = true;
                break;
            }
        }
        if (found)
            continue;
        if (json_array_append(*conf_js, default_elem) != 0)
            return MERGE_FAILED;
        result = MERGE_CHANGED;
    }
    return result;
}

tuvod_merge_result_t tuvod_merge_config_objects(json_t **conf_js, json_t *default_js) {
    if (conf_js == nullptr || !json_is_object(*conf_js) || !json_is_object(default_js))
        return MERGE_FAILED;
    tuvod_merge_result_t result = MERGE_NOCHANGE;
    const char *key;
    json_t *default_val;
    json_object_foreach(default_js, key, default_val) {
        json_t *conf_val = json_object_get(*conf_js, key);
        tuvod_merge_result_t child = MERGE_NOCHANGE;
        if (conf_val == nullptr || json_typeof(conf_val) != json_typeof(default_val)) {
            if (json_object_set(*conf_js, key, default_val) != 0)
                return MERGE_FAILED;
            child = MERGE_CHANGED;
        } else if (json_is_object(default_val)) {
            child = tuvod_merge_config_objects(&conf_val, default_val);
        } else if (json_is_array(default_val)) {
            child = tuvod_merge_config_arrays(&conf_val, default_val);
        }
        if (child == MERGE_FAILED)
            return MERGE_FAILED;
        if (child == MERGE_CHANGED)
            result = MERGE_CHANGED;
    }
    return result;
}

int tuvod_load_config(tuvod_state_t *tuvod) {
    const char *path = tuvod->config_filename;
    const uid_t uid = getuid();
    const gid_t gid = getgid();

    unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, CONFIG_MODE));
    if (!fd) {
        PRINT_INFO(INFO_ERROR, "Unable to open configuration file %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to stat configuration file %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (repair_config_attrs(path, fd.get(), st, uid, gid) != 0)
        return -1;
    json_ptr default_js(tuvod_default_config());
    if (!default_js) {
        PRINT_INFO(INFO_ERROR, "Unable to obtain default config\n");
        return -1;
    }

    bool must_write = false;
    json_error_t err{};
    json_ptr parsed_js(st.st_size > 0 ? json_loadfd(fd.get(), 0, &err) : nullptr);
    const bool unparsable = st.st_size > 0 && !parsed_js;
    json_ptr chosen_js;
    if (!parsed_js)
        chosen_js = use_last_good(path, uid, unparsable, err, must_write);
    const bool from_last_good = static_cast<bool>(chosen_js);
    if (!from_last_good)
        chosen_js = choose_config(path, st.st_size, std::move(parsed_js), err, std::move(default_js), must_write);
    if (!access_keys_valid(chosen_js.get()))
        return -1;
    for (const std::string &warning : tuvod_config_warnings(chosen_js.get()))
        PRINT_INFO(INFO_WARN, "%s\n", warning.c_str());
    if (unparsable && !from_last_good) {
        // Without a copy the defaults must not overwrite what is there.
        std::string copy = keep_unparsable_copy(path, fd.get(), uid, gid);
        if (copy.empty())
            must_write = false;
        else
            PRINT_INFO(INFO_WARN, "Kept the unparsable config file %s as %s\n", path, copy.c_str());
    }
    if (must_write && store_config(path, fd.get(), st.st_size == 0, chosen_js.get(), uid, gid) != 0)
        PRINT_INFO(INFO_WARN, "Unable to write modified config\n");
    if (!unparsable && !from_last_good)
        tuvod_keep_last_good(path, chosen_js.get(), uid, gid);

    json_decref(tuvod->config_js);
    tuvod->config_js = chosen_js.release();
    return 0;
}

int tuvod_save_config(tuvod_state_t *tuvod) {
    const char *path = tuvod->config_filename;
    {
        // Opened as the load opens it, so a link in its place is refused.
        unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, CONFIG_MODE));
        if (!fd) {
            PRINT_INFO(INFO_ERROR, "Unable to open configuration file %s for writing\n", path);
            return -1;
        }
    }
    if (tuvod->config_js == nullptr || replace_config_file(path, tuvod->config_js, getuid(), getgid()) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to export configuration to %s\n", path);
        return -1;
    }
    return 0;
}

int tuvod_conf_set(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, json_t *val) {
    if (tuvod->config_js == nullptr || val == nullptr)
        return -1;
    json_t *target_js = config_object_for_parent(tuvod, config_parent);
    if (target_js == nullptr) {
        if (json_object_set_new(tuvod->config_js, config_parent, json_object()) != 0) {
            PRINT_INFO(INFO_ERROR, "Unable to create config object %s\n", config_parent);
            return -1;
        }
        target_js = json_object_get(tuvod->config_js, config_parent);
    }
    return json_object_set(target_js, config_key, val);
}

int tuvod_conf_set_new(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, json_t *val) {
    json_ptr owned(val);
    return tuvod_conf_set(tuvod, config_parent, config_key, owned.get());
}

int tuvod_conf_set_bool(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, bool val) {
    return tuvod_conf_set_new(tuvod, config_parent, config_key, json_boolean(val));
}

int tuvod_conf_set_int(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, int val) {
    return tuvod_conf_set_new(tuvod, config_parent, config_key, json_integer(val));
}

int tuvod_conf_set_string(tuvod_state_t *tuvod, const char *config_parent, const char *config_key,
                          const char *val) {
    return tuvod_conf_set_new(tuvod, config_parent, config_key, val != nullptr ? json_string(val) : nullptr);
}

bool tuvod_conf_get_bool(tuvod_state_t *tuvod, const char *config_parent, const char *config_key,
                         bool default_val) {
    json_t *val_js = config_value(tuvod, config_parent, config_key);
    return json_is_boolean(val_js) ? json_is_true(val_js) : default_val;
}

int tuvod_conf_get_int(tuvod_state_t *tuvod, const char *config_parent, const char *config_key, int default_val) {
    json_t *val_js = config_value(tuvod, config_parent, config_key);
    return json_is_integer(val_js) ? static_cast<int>(json_integer_value(val_js)) : default_val;
}

const char *tuvod_conf_get_string(tuvod_state_t *tuvod, const char *config_parent, const char *config_key,
                                  const char *default_val) {
    json_t *val_js = config_value(tuvod, config_parent, config_key);
    return json_is_string(val_js) ? json_string_value(val_js) : default_val;
}

json_t *tuvod_conf_get_object(tuvod_state_t *tuvod, const char *config_parent, const char *config_key,
                              json_t *default_val) {
    json_t *val_js = config_value(tuvod, config_parent, config_key);
    return json_is_object(val_js) ? val_js : default_val;
}

json_t *tuvod_conf_get_array(tuvod_state_t *tuvod, const char *config_parent, const char *config_key,
                             json_t *default_val) {
    json_t *val_js = config_value(tuvod, config_parent, config_key);
    return json_is_array(val_js) ? val_js : default_val;
}
