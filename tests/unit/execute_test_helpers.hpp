// Shared pieces of the command execution tests: script records for the
// helper script, and inspection of this process's children and descriptors.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "procinfo.hpp"
#include "state.hpp"

namespace exec_test {

// The helper copied into a private directory: only files that nobody but
// root can change are run, wherever the sources were checked out.
struct helper_copy {
    std::string dir, path;
    helper_copy() {
        char tmpl[] = "/tmp/tuvod-helper.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return;
        dir = tmpl;
        chmod(dir.c_str(), 0755); // tests that drop privileges run it too
        path = dir + "/run_helper.sh";
        std::ifstream in(std::string(TUVOD_TEST_DATA) + "/run_helper.sh", std::ios::binary);
        std::ofstream(path, std::ios::binary) << in.rdbuf();
        chmod(path.c_str(), 0755);
    }
    ~helper_copy() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

inline std::string helper_path() {
    static const helper_copy copy;
    return copy.path;
}

// A record for the helper script; the kill steps belong to the record.
inline tuvod_script_ref make_script(int timeout_s, std::initializer_list<std::pair<int, int>> steps,
                                    bool nonblock = false, std::string path = helper_path()) {
    auto script = std::make_shared<tuvod_script_t>();
    script->script_name = "helper";
    script->script_path = std::move(path);
    script->script_timeout = timeout_s;
    script->script_nonblock = nonblock;
    contract_killer_desc_t **tail = &script->script_killsigs;
    for (auto [sig, timeout] : steps) {
        auto step = std::make_unique<contract_killer_desc_t>();
        step->sig = sig;
        step->timeout = timeout;
        *tail = step.release();
        tail = &(*tail)->next;
    }
    return script;
}

// Owns an argument vector built from words; argv[0] is the helper's path.
struct argv_holder {
    std::vector<std::string> words;
    std::vector<const char *> ptrs;
    explicit argv_holder(std::vector<std::string> args, std::string path = helper_path()) {
        words.push_back(std::move(path));
        for (auto &a : args)
            words.push_back(std::move(a));
        for (auto &w : words)
            ptrs.push_back(w.c_str());
        ptrs.push_back(nullptr);
    }
    const char **get() { return ptrs.data(); }
};

inline std::vector<std::string> dir_names(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Subdirectories only (a cgroup directory also holds its interface files).
inline std::vector<std::string> subdir_names(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_type == DT_DIR && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Children of this process that are zombies.
inline int zombie_children() {
    int n = 0;
    pid_t self = getpid();
    for (const std::string &name : dir_names("/proc")) {
        if (!is_proc_pid_name(name.c_str()))
            continue;
        proc_stat_t st;
        if (read_proc_stat(name.c_str(), &st, true) == 0 && st.ppid == self && st.state == 'Z')
            ++n;
    }
    return n;
}

inline bool pid_alive(pid_t pid) {
    proc_stat_t st;
    std::string dir = std::to_string(pid);
    return read_proc_stat(dir.c_str(), &st, true) == 0 && st.state != 'Z';
}

// A private directory removed with its files at the end of the test.
struct sandbox_dir {
    std::string path;
    sandbox_dir() {
        char tmpl[] = "/tmp/tuvod-exec.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~sandbox_dir() {
        for (const std::string &name : dir_names(path))
            unlink((path + "/" + name).c_str());
        rmdir(path.c_str());
    }
    std::string file(const char *name) const { return path + "/" + name; }
};

} // namespace exec_test
