#include "privilege.hpp"

#include <climits>
#include <cstring>

#include "info.hpp"

namespace {

// Indexed by capability number, as the kernel numbers them.
constexpr const char *cap_names[] = {
    "CAP_CHOWN",           "CAP_DAC_OVERRIDE",    "CAP_DAC_READ_SEARCH", "CAP_FOWNER",
    "CAP_FSETID",          "CAP_KILL",            "CAP_SETGID",          "CAP_SETUID",
    "CAP_SETPCAP",         "CAP_LINUX_IMMUTABLE", "CAP_NET_BIND_SERVICE", "CAP_NET_BROADCAST",
    "CAP_NET_ADMIN",       "CAP_NET_RAW",         "CAP_IPC_LOCK",        "CAP_IPC_OWNER",
    "CAP_SYS_MODULE",      "CAP_SYS_RAWIO",       "CAP_SYS_CHROOT",      "CAP_SYS_PTRACE",
    "CAP_SYS_PACCT",       "CAP_SYS_ADMIN",       "CAP_SYS_BOOT",        "CAP_SYS_NICE",
    "CAP_SYS_RESOURCE",    "CAP_SYS_TIME",        "CAP_SYS_TTY_CONFIG",  "CAP_MKNOD",
    "CAP_LEASE",           "CAP_AUDIT_WRITE",     "CAP_AUDIT_CONTROL",   "CAP_SETFCAP",
    "CAP_MAC_OVERRIDE",    "CAP_MAC_ADMIN",       "CAP_SYSLOG",          "CAP_WAKE_ALARM",
    "CAP_BLOCK_SUSPEND",   "CAP_AUDIT_READ",      "CAP_PERFMON",         "CAP_BPF",
    "CAP_CHECKPOINT_RESTORE",
};
constexpr int n_cap_names = static_cast<int>(sizeof cap_names / sizeof cap_names[0]);

constexpr json_int_t max_id = 4294967294LL; // (uid_t)-1 means "unchanged" to the kernel
constexpr size_t max_name = 256;
constexpr size_t max_env_set = 1024;

bool malformed(const char *path, const std::string &what) {
    PRINT_INFO(INFO_ERROR, "Malformed script in %s: %s\n", path, what.c_str());
    return false;
}

// A JSON string without NUL bytes, of 1 to max bytes.
bool plain_string(json_t *v, size_t max) {
    return json_is_string(v) && json_string_length(v) > 0 && json_string_length(v) <= max &&
           strlen(json_string_value(v)) == json_string_length(v);
}

// A user or group: a name, or an id as a number or as decimal text.
bool id_text(json_t *v, std::string *out) {
    if (json_is_integer(v)) {
        json_int_t n = json_integer_value(v);
        if (n < 0 || n > max_id)
            return false;
        *out = std::to_string(n);
        return true;
    }
    if (!plain_string(v, max_name) || strchr(json_string_value(v), ':') != nullptr)
        return false;
    *out = json_string_value(v);
    return true;
}

bool run_as_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    json_error_t error;
    json_t *user = nullptr, *group = nullptr, *groups = nullptr;
    if (json_unpack_ex(v, &error, JSON_STRICT, "{s:o, s?o, s?o}", "user", &user, "group", &group,
                       "supplementaryGroups", &groups) != 0)
        return malformed(path, std::string("runAs: ") + error.text);
    if (!id_text(user, &p->user))
        return malformed(path, "runAs: user must be a name or a uid from 0 to 4294967294");
    if (group != nullptr && !id_text(group, &p->group))
        return malformed(path, "runAs: group must be a name or a gid from 0 to 4294967294");
    if (groups != nullptr) {
        // The kernel takes at most 65536 groups.
        if (!json_is_array(groups) || json_array_size(groups) > 65536)
            return malformed(path, "runAs: supplementaryGroups must be a list of groups");
        size_t i;
        json_t *g;
        json_array_foreach(groups, i, g) {
            std::string text;
            if (!id_text(g, &text))
                return malformed(path, "runAs: supplementaryGroups[" + std::to_string(i) +
                                           "] must be a name or a gid from 0 to 4294967294");
            p->supplementary.push_back(std::move(text));
        }
    }
    p->run_as = true;
    return true;
}

bool capabilities_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    if (!json_is_array(v))
        return malformed(path, "capabilities must be a list of capability names");
    size_t i;
    json_t *name;
    json_array_foreach(v, i, name) {
        int n = json_is_string(name) ? capability_number(json_string_value(name)) : -1;
        if (n < 0 || strlen(json_string_value(name)) != json_string_length(name))
            return malformed(path, "capabilities[" + std::to_string(i) +
                                       "] is not a capability name such as \"CAP_NET_ADMIN\"");
        p->caps |= uint64_t{1} << n;
    }
    p->caps_given = true;
    return true;
}

bool env_name_ok(const char *name) {
    if (!((*name >= 'A' && *name <= 'Z') || (*name >= 'a' && *name <= 'z') || *name == '_'))
        return false;
    for (const char *c = name + 1; *c != '\0'; ++c)
        if (!((*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
              *c == '_'))
            return false;
    return true;
}

bool environment_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    json_error_t error;
    int inherit = 1;
    json_t *set = nullptr;
    if (json_unpack_ex(v, &error, JSON_STRICT, "{s?b, s?o}", "inherit", &inherit, "set", &set) != 0)
        return malformed(path, std::string("environment: ") + error.text);
    if (set != nullptr && (!json_is_object(set) || json_object_size(set) > max_env_set))
        return malformed(path, "environment: set must be an object of at most 1024 variables");
    const char *name;
    json_t *value;
    json_object_foreach(set, name, value) {
        // A key with a NUL byte would show as a shorter, valid-looking name.
        if (strlen(name) > max_name || !env_name_ok(name))
            return malformed(path, std::string("environment: '") + name +
                                       "' is not a variable name (letters, digits, _)");
        if (!json_is_string(value) || strlen(json_string_value(value)) != json_string_length(value))
            return malformed(path, std::string("environment: the value of ") + name +
                                       " must be a string without NUL bytes");
        p->env_set.emplace_back(name, json_string_value(value));
    }
    p->env_inherit = inherit != 0;
    return true;
}

bool working_dir_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    if (!plain_string(v, PATH_MAX - 1) || json_string_value(v)[0] != '/')
        return malformed(path, "workingDirectory must be an absolute path");
    std::string dir = json_string_value(v);
    // Checked one component at a time at each run; "." and ".." would
    // make the checked chain differ from the one entered.
    for (size_t pos = 0; pos < dir.size();) {
        size_t end = dir.find('/', pos);
        std::string part = dir.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (part == "." || part == "..")
            return malformed(path, "workingDirectory must not hold \".\" or \"..\"");
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    p->working_dir = dir;
    return true;
}

bool umask_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    const char *text = json_string_value(v);
    bool ok = text != nullptr && json_string_length(v) >= 1 && json_string_length(v) <= 4 &&
              strlen(text) == json_string_length(v);
    unsigned mask = 0;
    for (const char *c = text; ok && *c != '\0'; ++c) {
        ok = *c >= '0' && *c <= '7';
        mask = mask * 8 + static_cast<unsigned>(*c - '0');
    }
    if (!ok || mask > 0777)
        return malformed(path, "umask must be octal digits in a string, such as \"0027\"");
    p->umask = static_cast<mode_t>(mask);
    return true;
}

bool secrets_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    const char *text = json_string_value(v);
    if (text == nullptr || (strcmp(text, "argv") != 0 && strcmp(text, "stdin") != 0) ||
        strlen(text) != json_string_length(v))
        return malformed(path, "secretArguments must be \"argv\" or \"stdin\"");
    p->secrets_stdin = strcmp(text, "stdin") == 0;
    return true;
}

using member_reader = bool (*)(const char *, json_t *, tuvod_privilege_t *);

bool no_new_privs_from_json(const char *path, json_t *v, tuvod_privilege_t *p) {
    if (!json_is_boolean(v))
        return malformed(path, "noNewPrivileges must be true or false");
    p->no_new_privs = json_is_true(v);
    return true;
}

struct member_t {
    const char *key;
    member_reader read;
};

constexpr member_t members[] = {
    {"runAs", run_as_from_json},
    {"capabilities", capabilities_from_json},
    {"noNewPrivileges", no_new_privs_from_json},
    {"environment", environment_from_json},
    {"workingDirectory", working_dir_from_json},
    {"umask", umask_from_json},
    {"secretArguments", secrets_from_json},
};

std::string octal(mode_t m) {
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(m));
    return text;
}

std::string cap_list(uint64_t caps) {
    std::string out;
    for (int n = 0; n < 64; n++)
        if ((caps & (uint64_t{1} << n)) != 0)
            out += (out.empty() ? "" : " ") + capability_name(n);
    return out.empty() ? "none" : out;
}

} // namespace

bool take_privilege_members(json_t *script_js, const char *path, tuvod_privilege_t *out) {
    tuvod_privilege_t p;
    for (const member_t &m : members) {
        json_t *v = json_object_get(script_js, m.key);
        if (v == nullptr)
            continue;
        if (!m.read(path, v, &p))
            return false;
        json_object_del(script_js, m.key);
    }
    *out = std::move(p);
    return true;
}

int capability_number(const char *name) {
    for (int n = 0; n < n_cap_names; n++)
        if (strcmp(cap_names[n], name) == 0)
            return n;
    return -1;
}

std::string capability_name(int n) {
    if (n >= 0 && n < n_cap_names)
        return cap_names[n];
    return "CAP_" + std::to_string(n);
}

std::string privilege_summary(const tuvod_privilege_t &p) {
    std::string out;
    auto add = [&out](const std::string &part) { out += (out.empty() ? "" : ", ") + part; };
    if (p.run_as) {
        std::string who = "runs as " + p.user + (p.group.empty() ? "" : ":" + p.group);
        for (size_t i = 0; i < p.supplementary.size(); i++)
            who += (i == 0 ? " (groups " : ",") + p.supplementary[i];
        add(who + (p.supplementary.empty() ? "" : ")"));
    }
    if (p.caps_given)
        add("capabilities " + cap_list(p.caps));
    if (p.no_new_privs)
        add("no new privileges");
    if (!p.env_inherit || !p.env_set.empty()) {
        std::string env = p.env_inherit ? "environment inherited" : "environment not inherited";
        for (const auto &[name, value] : p.env_set)
            env += " " + name + "=";
        add(env);
    }
    if (!p.working_dir.empty())
        add("in " + p.working_dir);
    if (p.umask != 022)
        add("umask " + octal(p.umask));
    if (p.secrets_stdin)
        add("secret arguments on stdin");
    return out;
}

json_ptr privilege_members_json(const tuvod_privilege_t &p) {
    json_ptr obj(json_object());
    if (!obj)
        return nullptr;
    if (p.run_as) {
        json_t *run_as = json_pack("{s:s}", "user", p.user.c_str());
        if (run_as != nullptr && !p.group.empty())
            json_object_set_new(run_as, "group", json_string(p.group.c_str()));
        if (run_as != nullptr && !p.supplementary.empty()) {
            json_t *groups = json_array();
            for (const std::string &g : p.supplementary)
                json_array_append_new(groups, json_string(g.c_str()));
            json_object_set_new(run_as, "supplementaryGroups", groups);
        }
        json_object_set_new(obj.get(), "runAs", run_as);
    }
    if (p.caps_given) {
        json_t *caps = json_array();
        for (int n = 0; n < 64; n++)
            if ((p.caps & (uint64_t{1} << n)) != 0)
                json_array_append_new(caps, json_string(capability_name(n).c_str()));
        json_object_set_new(obj.get(), "capabilities", caps);
    }
    if (p.no_new_privs)
        json_object_set_new(obj.get(), "noNewPrivileges", json_true());
    if (!p.env_inherit || !p.env_set.empty()) {
        json_t *set = json_object();
        for (const auto &[name, value] : p.env_set)
            json_object_set_new(set, name.c_str(), json_string(value.c_str()));
        json_object_set_new(obj.get(), "environment",
                            json_pack("{s:b, s:o}", "inherit", p.env_inherit, "set", set));
    }
    if (!p.working_dir.empty())
        json_object_set_new(obj.get(), "workingDirectory", json_string(p.working_dir.c_str()));
    if (p.umask != 022)
        json_object_set_new(obj.get(), "umask", json_string(octal(p.umask).c_str()));
    if (p.secrets_stdin)
        json_object_set_new(obj.get(), "secretArguments", json_string("stdin"));
    return obj;
}
