// tuvoctl's optional configuration file: the endpoint and the TLS files, so
// that they need not be typed with every command. The command line wins.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ctl.hpp"
#include "info.hpp"

namespace {

constexpr off_t MAX_CONFIG_FILE = 64 * 1024;

struct config_key {
    const char *name;
    std::string ctl_file_config_t::*plain; // the endpoint
    std::string ctl_tls_t::*file;          // a TLS file name
};

constexpr config_key config_keys[] = {
    {"endpoint", &ctl_file_config_t::endpoint, nullptr},
    {"certFile", nullptr, &ctl_tls_t::cert},
    {"keyFile", nullptr, &ctl_tls_t::key},
    {"caFile", nullptr, &ctl_tls_t::ca},
};

// Outside text for a message on the terminal: control characters escaped.
std::string printable(const std::string &text) {
    char buf[160];
    escape_log_message(text.c_str(), buf, sizeof buf);
    return buf;
}

// The file's bytes, with the checks that make it trustworthy.
int read_text(const std::string &path, bool required, std::string *text, bool *found, std::string *err) {
    const std::string name = "configuration file '" + printable(path) + "'";
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT && !required) {
            *found = false;
            return 0;
        }
        *err = "cannot open " + name + ": " + strerror(errno);
        return -1;
    }
    *found = true;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = name + " is not a regular file";
        return -1;
    }
    if ((st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *err = name + " may be changed by other users; it must belong to you (or root) and be "
                      "writable by its owner only";
        return -1;
    }
    if (st.st_size > MAX_CONFIG_FILE) {
        *err = name + " is larger than 64 KiB";
        return -1;
    }
    text->assign(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text->size()) {
        ssize_t n = read(fd.get(), text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = "cannot read " + name + ": " + strerror(errno);
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text->resize(got);
    return 0;
}

// A file name as written, or taken from the configuration file's directory.
std::string beside(const std::string &config_path, const std::string &file) {
    if (file[0] == '/')
        return file;
    size_t slash = config_path.rfind('/');
    return slash == std::string::npos ? file : config_path.substr(0, slash + 1) + file;
}

int take_keys(const std::string &path, json_t *root, ctl_file_config_t *cfg, std::string *err) {
    const std::string name = "configuration file '" + printable(path) + "'";
    if (!json_is_object(root)) {
        *err = name + " must hold one JSON object";
        return -1;
    }
    const char *key;
    json_t *value;
    json_object_foreach(root, key, value) {
        const config_key *known = nullptr;
        for (const config_key &k : config_keys)
            if (strcmp(key, k.name) == 0)
                known = &k;
        if (known == nullptr) {
            *err = name + ": unknown key '" + printable(key) +
                   "' (known: endpoint, certFile, keyFile, caFile)";
            return -1;
        }
        if (!json_is_string(value) || json_string_length(value) == 0) {
            *err = name + ": \"" + key + "\" must be a non-empty string";
            return -1;
        }
        std::string text(json_string_value(value), json_string_length(value));
        if (known->plain != nullptr)
            cfg->*known->plain = text;
        else
            cfg->tls.*known->file = beside(path, text);
    }
    return 0;
}

} // namespace

std::string ctl_config_path(const ctl_options_t &opts, const char *(*env)(const char *), bool *required) {
    *required = true;
    if (!opts.config.empty())
        return opts.config;
    const char *named = env("TUVOCTL_CONFIG");
    if (named != nullptr && *named != '\0')
        return named;
    *required = false;
    const char *xdg = env("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/tuvoctl.json";
    const char *home = env("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config/tuvoctl.json";
    return "";
}

int ctl_read_config(const std::string &path, bool required, ctl_file_config_t *cfg, bool *found,
                    std::string *err) {
    std::string text;
    *found = false;
    if (read_text(path, required, &text, found, err) != 0)
        return -1;
    if (!*found)
        return 0;
    json_error_t error;
    json_ptr root(json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES, &error));
    if (!root) {
        *err = "configuration file '" + printable(path) + "' is not JSON: " + printable(error.text) +
               " (line " + std::to_string(error.line) + ")";
        return -1;
    }
    return take_keys(path, root.get(), cfg, err);
}

void ctl_apply_config(const ctl_file_config_t &cfg, ctl_options_t *opts) {
    if (!opts->endpoint_set && !cfg.endpoint.empty())
        opts->endpoint = cfg.endpoint;
    // TLS files of the file for a cleartext endpoint given with -e would be
    // refused as options given in vain; they are simply not used.
    if (!ctl_is_tls_endpoint(opts->endpoint))
        return;
    for (std::string ctl_tls_t::*f : {&ctl_tls_t::cert, &ctl_tls_t::key, &ctl_tls_t::ca})
        if ((opts->tls.*f).empty())
            opts->tls.*f = cfg.tls.*f;
}

bool ctl_uses_endpoint(ctl_cmd_t cmd) {
    switch (cmd) {
    case ctl_cmd_t::none:
    case ctl_cmd_t::legacy:
    case ctl_cmd_t::script_config:
    case ctl_cmd_t::check_scripts:
    case ctl_cmd_t::check_config:
        return false;
    default:
        return true;
    }
}
