// Script configuration files from the administrator's side: writing one
// for an executable, and checking a directory the way the daemon will load
// it. The checks call the daemon's own loading and validation code so that
// the tool and the daemon can never disagree about a file.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "config_check.hpp"
#include "ctl.hpp"
#include "error.hpp"
#include "confine.hpp"
#include "info.hpp"
#include "privilege.hpp"
#include "scripts.hpp"
#include "validate.hpp"

namespace {

// The daemon reads exactly the entries whose name ends in ".json".
int has_json_suffix(const struct dirent *entry) {
    size_t len = strlen(entry->d_name);
    return len >= 5 && strcmp(entry->d_name + len - 5, ".json") == 0;
}

class dir_entries {
  public:
    ~dir_entries() {
        for (int i = 0; i < n_; i++)
            free(list_[i]);
        free(list_);
    }
    int scan(const std::string &dir) {
        n_ = scandir(dir.c_str(), &list_, has_json_suffix, alphasort);
        return n_ < 0 ? (n_ = 0, -1) : n_;
    }
    int size() const { return n_; }
    const char *name(int i) const { return list_[i]->d_name; }

  private:
    struct dirent **list_ = nullptr;
    int n_ = 0;
};

// Runs the daemon's executable checks with its logging held back, so that
// each problem is reported once, as a line of the check.
int validate_quietly(tuvod_script_t *script, tuvod_error_t **errors) {
    info_level_t level = get_info_level();
    set_info_level(INFO_CRITICAL);
    int rc = check_confinement(script, errors);
    set_info_level(level);
    return rc;
}

json_ptr kill_steps_json(const std::vector<ctl_kill_step_t> &steps) {
    json_ptr arr(json_array());
    for (const ctl_kill_step_t &k : steps)
        if (!arr || json_array_append_new(arr.get(), json_pack("{s:i, s:i}", "signal", k.sig,
                                                               "timeout", k.timeout)) != 0)
            return nullptr;
    return arr;
}

json_t *name_list(const std::vector<std::string> &names) {
    json_t *arr = json_array();
    for (const std::string &n : names)
        json_array_append_new(arr, json_string(n.c_str()));
    return arr;
}

// The confinement members the options ask for, as the file spells them.
json_ptr privilege_options_json(const ctl_options_t &opts) {
    json_ptr obj(json_object());
    if (!opts.run_as.empty()) {
        size_t colon = opts.run_as.find(':');
        json_t *run_as = json_pack("{s:s}", "user", opts.run_as.substr(0, colon).c_str());
        if (colon != std::string::npos)
            json_object_set_new(run_as, "group", json_string(opts.run_as.substr(colon + 1).c_str()));
        if (!opts.run_groups.empty())
            json_object_set_new(run_as, "supplementaryGroups", name_list(opts.run_groups));
        json_object_set_new(obj.get(), "runAs", run_as);
    }
    if (opts.caps_given)
        json_object_set_new(obj.get(), "capabilities", name_list(opts.caps));
    if (opts.no_new_privs)
        json_object_set_new(obj.get(), "noNewPrivileges", json_true());
    if (opts.clean_env || !opts.env.empty()) {
        json_t *set = json_object();
        for (const std::string &e : opts.env)
            json_object_set_new(set, e.substr(0, e.find('=')).c_str(),
                                json_string(e.substr(e.find('=') + 1).c_str()));
        json_object_set_new(obj.get(), "environment",
                            json_pack("{s:b, s:o}", "inherit", !opts.clean_env, "set", set));
    }
    if (!opts.working_dir.empty())
        json_object_set_new(obj.get(), "workingDirectory", json_string(opts.working_dir.c_str()));
    if (!opts.umask.empty())
        json_object_set_new(obj.get(), "umask", json_string(opts.umask.c_str()));
    if (opts.secrets_stdin)
        json_object_set_new(obj.get(), "secretArguments", json_string("stdin"));
    return obj;
}

} // namespace

json_ptr ctl_script_config(const ctl_options_t &opts, std::string *err, std::string *warning) {
    const std::string &exe = opts.executable;
    if (exe.empty() || exe[0] != '/') {
        *err = "'" + exe + "' is not an absolute path: requests name a script by its exact path";
        return nullptr;
    }
    struct stat st;
    if (stat(exe.c_str(), &st) != 0) {
        *err = "cannot examine '" + exe + "': " + strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = "'" + exe + "' is not a regular file";
        return nullptr;
    }
    char digest[129];
    if (tuvod_script_digest(exe.c_str(), digest, sizeof digest) != 0) {
        *err = "cannot compute the digest of '" + exe + "'";
        return nullptr;
    }
    warning->clear();
    if ((st.st_mode & S_IXUSR) == 0)
        *warning = "'" + exe + "' is not executable by its owner; the daemon will refuse to run it";
    else if (opts.script_timeout == 0)
        *warning = "a timeout of 0 is replaced by 5 seconds when the daemon loads the file";

    json_ptr redact(json_array());
    for (int r : opts.redact)
        if (!redact || json_array_append_new(redact.get(), json_integer(r)) != 0)
            return nullptr;
    json_ptr kill = kill_steps_json(opts.kill);
    if (!redact || !kill)
        return nullptr;
    json_ptr priv = privilege_options_json(opts);
    json_ptr priv_check(json_deep_copy(priv.get()));
    tuvod_privilege_t parsed;
    // The daemon's own reader, so that what is printed is what it loads.
    if (!priv || !priv_check || !take_privilege_members(priv_check.get(), exe.c_str(), &parsed)) {
        *err = "the confinement options do not make a valid configuration (reason above)";
        return nullptr;
    }
    // Member order as an administrator reads the file; the daemon does not care.
    json_ptr config(json_pack("{s:s, s:s, s:s, s:s, s:i, s:b, s:b, s:o, s:o}", "name",
                              opts.name.c_str(), "path", exe.c_str(), "digest", digest, "authority",
                              opts.authority.c_str(), "timeout", opts.script_timeout,
                              "isNonBlocking", opts.nonblock, "allowConcurrentExecution",
                              opts.concurrent, "redactArguments", redact.release(),
                              "killSignals", kill.release()));
    if (config && json_object_update(config.get(), priv.get()) != 0)
        return nullptr;
    return config;
}

std::string ctl_script_config_text(json_t *config) {
    char *text = json_dumps(config, JSON_INDENT(4));
    std::string out = text != nullptr ? std::string(text) + "\n" : std::string();
    free(text);
    return out;
}

int ctl_check_scripts(const std::string &dir, bool quiet, FILE *out, ctl_check_report_t *report) {
    *report = ctl_check_report_t();
    dir_entries entries;
    if (entries.scan(dir) < 0) {
        fprintf(out, "%s: cannot be read: %s\n", dir.c_str(), strerror(errno));
        report->problems++;
        return CTL_EXIT_FAILED;
    }
    if (entries.size() == 0) {
        fprintf(out, "%s: no *.json script configuration file\n", dir.c_str());
        report->problems++;
        return CTL_EXIT_FAILED;
    }
    std::map<std::string, std::string> first_file_for_path;
    for (int i = 0; i < entries.size(); i++) {
        const char *file = entries.name(i);
        std::string path = dir + "/" + file;
        report->files++;
        tuvod_script_ref script = tuvod_script_from_file(path.c_str());
        if (!script) {
            fprintf(out, "%s: INVALID: the daemon will not load it (reason logged above)\n", file);
            report->problems++;
            continue;
        }
        bool ok = true;
        error_stack errors;
        if (validate_quietly(script.get(), errors.ptr()) != 0) {
            for (tuvod_error_t *e = errors.head(); e != nullptr; e = e->next)
                fprintf(out, "%s: INVALID: %s\n", file, e->error_string);
            ok = false;
        }
        auto [it, inserted] = first_file_for_path.emplace(script->script_path, file);
        if (!inserted) {
            fprintf(out, "%s: DUPLICATE: names the path '%s' of %s, which the daemon uses instead\n",
                    file, script->script_path.c_str(), it->second.c_str());
            ok = false;
        }
        if (!ok) {
            report->problems++;
            continue;
        }
        report->valid++;
        std::string confined = privilege_summary(script->script_priv);
        if (!quiet)
            fprintf(out, "%s: ok: %s -> %s%s%s%s%s\n", file, script->script_name.c_str(),
                    script->script_path.c_str(),
                    script->script_digest.empty() ? " (no digest check)" : "",
                    confined.empty() ? "" : " (", confined.c_str(), confined.empty() ? "" : ")");
    }
    if (!quiet || report->problems > 0)
        fprintf(out, "%d file%s, %d valid, %d with problems\n", report->files,
                report->files == 1 ? "" : "s", report->valid, report->problems);
    return report->problems > 0 ? CTL_EXIT_FAILED : CTL_EXIT_OK;
}

int ctl_local_authority(const std::string &dir, const std::string &path, std::string *authority) {
    dir_entries entries;
    if (entries.scan(dir) < 0)
        return -1;
    // The daemon's complaints about files are check-scripts' business, not run's.
    info_level_t level = get_info_level();
    set_info_level(INFO_CRITICAL);
    int rc = 1;
    for (int i = 0; i < entries.size() && rc != 0; i++) {
        tuvod_script_ref script = tuvod_script_from_file((dir + "/" + entries.name(i)).c_str());
        if (script && script->script_path == path) {
            *authority = script->script_authority;
            rc = 0;
        }
    }
    set_info_level(level);
    return rc;
}

int ctl_check_config(const std::string &path, bool strict, FILE *out) {
    std::vector<std::string> warnings;
    std::vector<std::string> problems = tuvod_config_check_file(path.c_str(), &warnings);
    for (const std::string &problem : problems)
        fprintf(out, "%s\n", problem.c_str());
    for (const std::string &warning : warnings)
        fprintf(out, "warning: %s\n", warning.c_str());
    if (problems.empty() && warnings.empty())
        fprintf(out, "%s: ok\n", path.c_str());
    else if (problems.empty())
        fprintf(out, "%s: ok, with %zu warning%s\n", path.c_str(), warnings.size(), warnings.size() == 1 ? "" : "s");
    return !problems.empty() || (strict && !warnings.empty()) ? CTL_EXIT_FAILED : CTL_EXIT_OK;
}
