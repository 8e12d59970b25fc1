// Shared configuration checks and the last good copy; see config_check.hpp.
#include "config_check.hpp"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

std::vector<std::string> tuvod_config_check_file(const char *path) {
    json_error_t err;
    json_ptr config(json_load_file(path, 0, &err));
    if (!config)
        return {tuvod_config_parse_problem(path, err)};
    if (!json_is_object(config.get()))
        return {std::string("Config file ") + path + " does not hold a JSON object"};
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
