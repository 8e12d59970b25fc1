// Shared configuration checks and the last good copy; see config_check.hpp.
#include "config_check.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "escape.hpp"
#include "info.hpp"

namespace {

constexpr mode_t LAST_GOOD_MODE = 0600;
constexpr int DUMP_FLAGS = JSON_INDENT(4);

std::string wrong_type(const std::string &key, const char *wanted) {
    return "Configuration key \"" + key + "\" must be " + wanted;
}

bool all_strings(json_t *list) {
    size_t i;
    json_t *elem;
    json_array_foreach(list, i, elem) {
        if (!json_is_string(elem))
            return false;
    }
    return true;
}

void check_tls(json_t *tls, std::vector<std::string> *problems) {
    if (!json_is_object(tls)) {
        problems->push_back(wrong_type("tls", "an object"));
        return;
    }
    json_t *value = json_object_get(tls, "bindAddrs");
    if (value != nullptr && (!json_is_array(value) || !all_strings(value)))
        problems->push_back(wrong_type("tls.bindAddrs", "a list of address strings"));
    value = json_object_get(tls, "port");
    if (value != nullptr &&
        (!json_is_integer(value) || json_integer_value(value) < 1 || json_integer_value(value) > 65535))
        problems->push_back(wrong_type("tls.port", "a port number from 1 to 65535"));
    for (const char *key : {"certFile", "keyFile", "clientCAFile"}) {
        value = json_object_get(tls, key);
        if (value != nullptr && !json_is_string(value))
            problems->push_back(wrong_type(std::string("tls.") + key, "a file name"));
    }
    value = json_object_get(tls, "cleartextLoopbackOnly");
    if (value != nullptr && !json_is_boolean(value))
        problems->push_back(wrong_type("tls.cleartextLoopbackOnly", "true or false"));
}

// The keys the daemon reads; anything else is kept and ignored.
constexpr const char *known_keys[] = {
    "tuvodUUID", "bindAddrs", "infoLevel", "debugMask", "legacyUsers", "tls", "resultRetentionSeconds",
    LIMIT_KEY_QUEUED_REQUESTS, LIMIT_KEY_QUEUED_BYTES, LIMIT_KEY_ASYNC_RUNS, LIMIT_KEY_OUTPUT_BYTES,
    LIMIT_KEY_CONNECTIONS, LIMIT_KEY_CONNECTIONS_PER_ADDRESS, LIMIT_KEY_HANDSHAKE_TIMEOUT, LIMIT_KEY_IDLE_TIMEOUT,
    LIMIT_KEY_PENDING_REQUESTS};
constexpr const char *known_tls_keys[] = {"bindAddrs", "port", "certFile", "keyFile", "clientCAFile",
                                          "clientCRLFile", "cleartextLoopbackOnly"};

// Edit distance of two short keys, ignoring case; stops counting past limit.
size_t key_distance(const std::string &a, const std::string &b, size_t limit) {
    if (a.size() > b.size() + limit || b.size() > a.size() + limit)
        return limit + 1;
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// Names each member of obj not among known, with the known key it is
// closest to when it looks like a slip of the keyboard.
template <size_t N>
void check_known_keys(json_t *obj, const char *const (&known)[N], const std::string &prefix,
                      std::vector<std::string> *warnings) {
    const char *key;
    json_t *value;
    json_object_foreach(obj, key, value) {
        (void)value;
        if (std::any_of(std::begin(known), std::end(known), [&](const char *k) { return strcmp(k, key) == 0; }))
            continue;
        // Keys are hostile text: bounded and escaped before they reach a log line.
        std::string name(key, strnlen(key, 128));
        std::string text = "Unknown configuration key \"" + prefix + escape_outside_text(name.data(), name.size()) + "\" (kept, not used";
        for (const char *k : known) {
            if (key_distance(name, k, 2) <= 2) {
                text += std::string("; did you mean \"") + prefix + k + "\"?";
                break;
            }
        }
        warnings->push_back(text + ")");
    }
}

// Names each listening address that cannot be bound: the listeners take
// IPv4 literals only.
void check_addresses(json_t *addrs, const std::string &key, std::vector<std::string> *warnings) {
    size_t i;
    json_t *elem;
    json_array_foreach(addrs, i, elem) {
        struct in_addr a;
        if (!json_is_string(elem)) {
            warnings->push_back("Configuration key \"" + key + "\" element " + std::to_string(i) +
                                " is not an address string; it is skipped");
        } else if (inet_pton(AF_INET, json_string_value(elem), &a) != 1) {
            std::string text(json_string_value(elem), strnlen(json_string_value(elem), 128));
            warnings->push_back("Configuration key \"" + key + "\" entry \"" + escape_outside_text(text.data(), text.size()) +
                                "\" is not an IPv4 address; it will fail to bind and be skipped");
        }
    }
}

bool valid_user_list(json_t *list) {
    if (!json_is_array(list))
        return false;
    size_t i;
    json_t *elem;
    json_array_foreach(list, i, elem) {
        if (!json_is_string(elem) && !(json_is_integer(elem) && json_integer_value(elem) >= 0))
            return false;
    }
    return true;
}

// Writes all of text to fd; false when a write fails.
bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file's bytes when it is a regular file of at most max bytes; false
// with errno otherwise.
bool read_small_file(int fd, size_t max, std::string *text) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > max) {
        errno = EINVAL;
        return false;
    }
    text->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < text->size()) {
        ssize_t n = pread(fd, text->data() + done, text->size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    text->resize(done);
    return true;
}

constexpr size_t LAST_GOOD_MAX = 16 * 1024 * 1024;
// A file of many strange keys gets this many lines, then a count.
constexpr size_t MAX_WARNINGS = 32;

// Syncs the directory holding path, so a rename in it survives a crash.
int sync_parent_dir(const std::string &path) {
    std::string copy = path;
    unique_fd dir(open(dirname(copy.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir && fsync(dir.get()) == 0 ? 0 : -1;
}

// Replaces path with text: a new file beside it, owned and moded, synced,
// renamed over path, and the directory synced. On failure path is as it was.
int replace_file(const std::string &path, const std::string &text, uid_t uid, gid_t gid) {
    std::string tmp = path + ".XXXXXX";
    unique_fd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return -1;
    bool ok = fchown(fd.get(), uid, gid) == 0 && fchmod(fd.get(), LAST_GOOD_MODE) == 0 &&
              write_all(fd.get(), text) && fsync(fd.get()) == 0;
    fd.reset();
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return sync_parent_dir(path);
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return -1;
}

} // namespace

std::string tuvod_config_parse_problem(const char *path, const json_error_t &err) {
    return std::string("Unable to parse config file ") + path + ": " + err.text + " (line " +
           std::to_string(err.line) + ")";
}

std::vector<std::string> tuvod_config_type_problems(json_t *config_js) {
    std::vector<std::string> problems;
    if (!json_is_object(config_js))
        return problems; // a file that is no object is replaced by the defaults
    if (json_t *tls = json_object_get(config_js, "tls"))
        check_tls(tls, &problems);
    json_t *users = json_object_get(config_js, "legacyUsers");
    if (users != nullptr && !valid_user_list(users))
        problems.push_back(wrong_type("legacyUsers", "a list of user names or uids"));
    return problems;
}

std::vector<std::string> tuvod_config_warnings(json_t *config_js) {
    std::vector<std::string> warnings;
    if (!json_is_object(config_js))
        return warnings;
    check_known_keys(config_js, known_keys, "", &warnings);
    check_addresses(json_object_get(config_js, "bindAddrs"), "bindAddrs", &warnings);
    json_t *tls = json_object_get(config_js, "tls");
    if (json_is_object(tls)) {
        check_known_keys(tls, known_tls_keys, "tls.", &warnings);
        check_addresses(json_object_get(tls, "bindAddrs"), "tls.bindAddrs", &warnings);
    }
    if (warnings.size() > MAX_WARNINGS) {
        size_t more = warnings.size() - MAX_WARNINGS;
        warnings.resize(MAX_WARNINGS);
        warnings.push_back("... and " + std::to_string(more) + " more configuration warnings");
    }
    return warnings;
}

std::vector<std::string> tuvod_config_check_file(const char *path, std::vector<std::string> *warnings) {
    json_error_t err;
    json_ptr config(json_load_file(path, 0, &err));
    if (!config)
        return {tuvod_config_parse_problem(path, err)};
    if (!json_is_object(config.get()))
        return {std::string("Config file ") + path + " does not hold a JSON object"};
    if (warnings != nullptr)
        *warnings = tuvod_config_warnings(config.get());
    return tuvod_config_type_problems(config.get());
}

std::string tuvod_last_good_path(const char *config_path) { return std::string(config_path) + ".last-good"; }

int tuvod_keep_last_good(const char *config_path, json_t *config_js, uid_t uid, gid_t gid) {
    const std::string path = tuvod_last_good_path(config_path);
    cstr_ptr text(json_dumps(config_js, DUMP_FLAGS));
    if (!text) {
        PRINT_INFO(INFO_ERROR, "Unable to keep the last good configuration %s: out of memory\n", path.c_str());
        return -1;
    }
    std::string old;
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd && read_small_file(fd.get(), LAST_GOOD_MAX, &old) && old == text.get())
        return 0;
    fd.reset();
    if (replace_file(path, text.get(), uid, gid) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to keep the last good configuration %s: %s\n", path.c_str(),
                   strerror(errno));
        return -1;
    }
    return 0;
}

json_ptr tuvod_read_last_good(const char *config_path, uid_t uid) {
    const std::string path = tuvod_last_good_path(config_path);
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno != ENOENT)
            PRINT_INFO(INFO_ERROR, "Unable to read the last good configuration %s: %s\n", path.c_str(),
                       strerror(errno));
        return nullptr;
    }
    // It decides the listeners and TLS: only a copy no one else could
    // have written is trusted.
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || st.st_uid != uid || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        PRINT_INFO(INFO_ERROR, "Not using the last good configuration %s: not owned by uid %u or writable by others\n",
                   path.c_str(), static_cast<unsigned>(uid));
        return nullptr;
    }
    std::string text;
    json_error_t err;
    json_ptr config;
    if (read_small_file(fd.get(), LAST_GOOD_MAX, &text))
        config.reset(json_loadb(text.data(), text.size(), 0, &err));
    if (!json_is_object(config.get())) {
        PRINT_INFO(INFO_ERROR, "Not using the last good configuration %s: it does not parse\n", path.c_str());
        return nullptr;
    }
    return config;
}
