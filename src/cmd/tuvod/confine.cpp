#include "confine.hpp"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "error.hpp"
#include "info.hpp"
#include "validate.hpp"

extern char **environ;

namespace {

// The search path of a script that does not inherit the daemon's environment.
constexpr const char clean_path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
// A user or group entry larger than this is not believed.
constexpr size_t max_db_buffer = size_t{1} << 20;
// Secret arguments on stdin, at most; the pipe is grown to hold them.
constexpr size_t max_secret_bytes = size_t{1} << 20;

// Decimal text of an id, as "runAs" keeps numbers.
bool parse_id(const std::string &text, unsigned long *id) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    *id = strtoul(text.c_str(), nullptr, 10);
    return errno == 0 && *id <= 4294967294UL;
}

// getpwnam_r or getpwuid_r with a buffer that grows as the entry needs.
bool lookup_user(const std::string &name_or_id, struct passwd *pw, std::vector<char> *buf) {
    unsigned long id = 0;
    bool numeric = parse_id(name_or_id, &id);
    buf->resize(1024);
    for (;;) {
        struct passwd *found = nullptr;
        int rc = numeric ? getpwuid_r(static_cast<uid_t>(id), pw, buf->data(), buf->size(), &found)
                         : getpwnam_r(name_or_id.c_str(), pw, buf->data(), buf->size(), &found);
        if (rc == ERANGE && buf->size() < max_db_buffer) {
            buf->resize(buf->size() * 2);
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

bool lookup_group(const std::string &name_or_id, struct group *gr, std::vector<char> *buf) {
    unsigned long id = 0;
    bool numeric = parse_id(name_or_id, &id);
    buf->resize(1024);
    for (;;) {
        struct group *found = nullptr;
        int rc = numeric ? getgrgid_r(static_cast<gid_t>(id), gr, buf->data(), buf->size(), &found)
                         : getgrnam_r(name_or_id.c_str(), gr, buf->data(), buf->size(), &found);
        if (rc == ERANGE && buf->size() < max_db_buffer) {
            buf->resize(buf->size() * 2);
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

// A group's id; a number stands for itself even without an entry.
bool group_id(const std::string &name_or_id, gid_t *gid, std::string *name) {
    struct group gr;
    std::vector<char> buf;
    if (lookup_group(name_or_id, &gr, &buf)) {
        *gid = gr.gr_gid;
        *name = gr.gr_name;
        return true;
    }
    unsigned long id = 0;
    if (!parse_id(name_or_id, &id))
        return false;
    *gid = static_cast<gid_t>(id);
    *name = name_or_id;
    return true;
}

// May the user run (and, interpreted, read) the file? Root passed the
// file checks already.
bool may_run(const struct stat &st, const run_identity_t &id, bool interpreted) {
    if (id.uid == 0)
        return true;
    mode_t need_x = S_IXOTH, need_r = S_IROTH;
    bool in_group = st.st_gid == id.gid;
    for (gid_t g : id.groups)
        in_group = in_group || st.st_gid == g;
    if (st.st_uid == id.uid) {
        need_x = S_IXUSR;
        need_r = S_IRUSR;
    } else if (in_group) {
        need_x = S_IXGRP;
        need_r = S_IRGRP;
    }
    return (st.st_mode & need_x) != 0 && (!interpreted || (st.st_mode & need_r) != 0);
}

int prepare_working_dir(tuvod_script_t *script, child_confinement_t *out, tuvod_error_t **errors) {
    const std::string &dir = script->script_priv.working_dir;
    if (dir.empty())
        return 0;
    std::string reason;
    if (open_checked_dir(dir, &out->cwd, &reason) == 0)
        return 0;
    if (!reason.empty())
        set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr,
                "Refusing to run '%s': working directory: %s", script->script_name.c_str(),
                reason.c_str());
    else
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr,
                "Refusing to run '%s': working directory '%s': %s", script->script_name.c_str(),
                dir.c_str(), strerror(errno));
    return -1;
}

bool env_named(const char *entry, const std::vector<std::pair<std::string, std::string>> &set) {
    for (const auto &[name, value] : set)
        if (strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=')
            return true;
    return false;
}

void prepare_environment(const tuvod_privilege_t &p, child_confinement_t *out) {
    if (p.env_inherit && p.env_set.empty())
        return; // the daemon's own, as before
    if (p.env_inherit) {
        for (char **e = environ; e != nullptr && *e != nullptr; ++e)
            if (!env_named(*e, p.env_set))
                out->env_store.emplace_back(*e);
    } else if (!env_named(clean_path, p.env_set)) {
        out->env_store.emplace_back(clean_path);
    }
    for (const auto &[name, value] : p.env_set)
        out->env_store.push_back(name + "=" + value);
    for (std::string &s : out->env_store)
        out->envp.push_back(s.data());
    out->envp.push_back(nullptr);
}

// Raw capset: the three sets as 64-bit masks.
bool set_capabilities(uint64_t eff, uint64_t perm, uint64_t inh) noexcept {
    __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2] = {
        {static_cast<__u32>(eff), static_cast<__u32>(perm), static_cast<__u32>(inh)},
        {static_cast<__u32>(eff >> 32), static_cast<__u32>(perm >> 32), static_cast<__u32>(inh >> 32)},
    };
    return syscall(SYS_capset, &hdr, d) == 0;
}

// Leaves exactly keep (as far as the process holds it) in every set.
bool narrow_capabilities(uint64_t keep, bool ambient) noexcept {
    __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2] = {};
    if (syscall(SYS_capget, &hdr, d) != 0)
        return false;
    uint64_t perm = d[0].permitted | (static_cast<uint64_t>(d[1].permitted) << 32);
    // A uid change clears the effective set; dropping from the bounding
    // set needs CAP_SETPCAP in it.
    if (!set_capabilities(perm, perm, 0))
        return false;
    for (int cap = 0; cap < 64; cap++) {
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) < 0)
            break; // past the kernel's last capability
        if ((keep & (uint64_t{1} << cap)) == 0 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    }
    keep &= perm;
    if (!set_capabilities(keep, keep, keep))
        return false;
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
        return false;
    // A non-root user's exec would clear what is not ambient.
    for (int cap = 0; ambient && cap < 64; cap++)
        if ((keep & (uint64_t{1} << cap)) != 0 &&
            prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0)
            return false;
    return prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) == 0;
}

} // namespace

int resolve_run_identity(const tuvod_privilege_t &p, run_identity_t *out, std::string *why) {
    run_identity_t id;
    struct passwd pw;
    std::vector<char> buf;
    unsigned long uid = 0;
    bool has_account = lookup_user(p.user, &pw, &buf);
    if (has_account) {
        id.uid = pw.pw_uid;
        id.gid = pw.pw_gid;
        id.user = pw.pw_name;
    } else if (parse_id(p.user, &uid) && !p.group.empty()) {
        id.uid = static_cast<uid_t>(uid);
        id.user = p.user;
    } else {
        *why = parse_id(p.user, &uid) ? "uid " + p.user + " has no account, so runAs needs a group"
                                      : "unknown user '" + p.user + "'";
        return -1;
    }
    if (!p.group.empty() && !group_id(p.group, &id.gid, &id.group)) {
        *why = "unknown group '" + p.group + "'";
        return -1;
    }
    if (p.group.empty()) {
        struct group gr;
        std::vector<char> gbuf;
        id.group = lookup_group(std::to_string(id.gid), &gr, &gbuf) ? gr.gr_name : std::to_string(id.gid);
    }
    for (const std::string &g : p.supplementary) {
        gid_t gid = 0;
        std::string name;
        if (!group_id(g, &gid, &name)) {
            *why = "unknown group '" + g + "'";
            return -1;
        }
        id.groups.push_back(gid);
    }
    id.resolved = true;
    *out = std::move(id);
    return 0;
}

int prepare_confinement(tuvod_script_t *script, const struct stat &st, bool interpreted,
                        child_confinement_t *out, tuvod_exec_state_t *state,
                        tuvod_error_t **errors) {
    const tuvod_privilege_t &p = script->script_priv;
    *state = TUVOD_EXEC_FAILED;
    std::string why;
    if (p.run_as && resolve_run_identity(p, &out->identity, &why) != 0) {
        // Never fall back to running as root.
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Refusing to run '%s': runAs: %s",
                script->script_name.c_str(), why.c_str());
        return -1;
    }
    const run_identity_t &id = out->identity;
    if (id.resolved && !may_run(st, id, interpreted)) {
        set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr,
                "Refusing '%s' for '%s': user %s may not %s it", script->script_path.c_str(),
                script->script_name.c_str(), id.user.c_str(),
                interpreted ? "read and execute" : "execute");
        *state = TUVOD_EXEC_SCRIPT_INVALID;
        return -1;
    }
    if (prepare_working_dir(script, out, errors) != 0)
        return -1;
    out->set_ids = id.resolved;
    out->set_caps = p.caps_given;
    out->keep = p.caps;
    out->ambient = p.caps_given && id.resolved && id.uid != 0;
    out->no_new_privs = p.no_new_privs || (id.resolved && id.uid != 0);
    out->umask = p.umask;
    prepare_environment(p, out);
    if (id.resolved)
        PRINT_DEBUG(DEBUG_COMMAND, "'%s' runs as %s (uid %u, gid %u, %zu supplementary groups)\n",
                    script->script_name.c_str(), id.user.c_str(), static_cast<unsigned>(id.uid),
                    static_cast<unsigned>(id.gid), id.groups.size());
    return 0;
}

int check_confinement(tuvod_script_t *script, tuvod_error_t **errors) {
    checked_script_t checked;
    if (check_script_file(script, &checked, errors) != 0)
        return -1;
    struct stat st;
    if (fstat(checked.fd.get(), &st) != 0)
        return -1;
    child_confinement_t conf;
    tuvod_exec_state_t state;
    return prepare_confinement(script, st, checked.interpreted, &conf, &state, errors);
}

int prepare_secret_stdin(tuvod_script_t *script, const char **argv,
                         std::vector<const char *> *child_argv, unique_fd *stdin_r,
                         tuvod_error_t **errors) {
    if (!script->script_priv.secrets_stdin)
        return 0;
    std::string secrets;
    for (int i = 0; argv[i] != nullptr; i++) {
        bool secret = i > 0 && i <= 30 && (script->script_redact_argv & (1 << i)) != 0;
        if (!secret) {
            child_argv->push_back(argv[i]);
            continue;
        }
        // One a line: a line break would split a secret in two.
        if (strchr(argv[i], '\n') != nullptr) {
            set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr,
                    "Refusing to run '%s': secret argument %d holds a line break",
                    script->script_name.c_str(), i);
            return -1;
        }
        secrets += argv[i];
        secrets += '\n';
    }
    child_argv->push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Failed to create input pipe: %s",
                strerror(errno));
        return -1;
    }
    unique_fd r(fds[0]), w(fds[1]);
    // Written whole before the fork, so the daemon never waits on the script.
    int cap = fcntl(w.get(), F_GETPIPE_SZ);
    if (secrets.size() > max_secret_bytes)
        cap = -1;
    else if (cap > 0 && secrets.size() > static_cast<size_t>(cap))
        cap = fcntl(w.get(), F_SETPIPE_SZ, static_cast<int>(secrets.size()));
    fcntl(w.get(), F_SETFL, O_NONBLOCK);
    ssize_t n = secrets.empty() ? 0 : cap < 0 ? -1 : write(w.get(), secrets.data(), secrets.size());
    if (n != static_cast<ssize_t>(secrets.size())) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr,
                "Refusing to run '%s': %zu bytes of secret arguments do not fit its input pipe",
                script->script_name.c_str(), secrets.size());
        return -1;
    }
    *stdin_r = std::move(r);
    return 0;
}

confine_step_t apply_confinement(const child_confinement_t &c, int cwd_fd) noexcept {
    // Raw calls: the C library's set*id would try to reach the other
    // threads of the daemon, which the child does not have.
    if (c.set_ids) {
        const std::vector<gid_t> &groups = c.identity.groups;
        if (syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) != 0)
            return CONFINE_GROUPS;
        gid_t gid = c.identity.gid;
        if (syscall(SYS_setresgid, gid, gid, gid) != 0)
            return CONFINE_GID;
        // Kept across the uid change only to be narrowed next.
        if (c.set_caps && prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0)
            return CONFINE_UID;
        uid_t uid = c.identity.uid;
        if (syscall(SYS_setresuid, uid, uid, uid) != 0)
            return CONFINE_UID;
    }
    if (c.set_caps && !narrow_capabilities(c.keep, c.ambient))
        return CONFINE_CAPS;
    if (c.no_new_privs && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return CONFINE_NNP;
    umask(c.umask);
    // Entered as the script's user, so a directory it may not enter fails here.
    if (cwd_fd >= 0 && fchdir(cwd_fd) != 0)
        return CONFINE_CWD;
    return CONFINE_OK;
}

const char *confine_step_name(char step) {
    switch (step) {
    case CONFINE_GROUPS:
        return "setting the supplementary groups";
    case CONFINE_GID:
        return "setting the group id";
    case CONFINE_UID:
        return "setting the user id";
    case CONFINE_CAPS:
        return "narrowing the capabilities";
    case CONFINE_NNP:
        return "setting no-new-privileges";
    case CONFINE_CWD:
        return "entering the working directory";
    default:
        return "confining the script";
    }
}

json_ptr run_identity_json(const run_identity_t &id) {
    json_ptr groups(json_array());
    for (gid_t g : id.groups)
        if (!groups || json_array_append_new(groups.get(), json_integer(g)) != 0)
            return nullptr;
    return json_ptr(json_pack("{s:s, s:I, s:s, s:I, s:o}", "user", id.user.c_str(), "uid",
                              static_cast<json_int_t>(id.uid), "group", id.group.c_str(), "gid",
                              static_cast<json_int_t>(id.gid), "groups", groups.release()));
}
