#include "fuzz_env.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db.hpp"
#include "execlog.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "scripts.hpp"
#include "utils.hpp"

namespace fuzz {

const char *const complete_uuid = "00000000-0000-4000-8000-00000000c0de";
const char *const running_uuid = "00000000-0000-4000-8000-0000000a5c11";
const char *const missing_script = "/nonexistent/tuvod-fuzz/missing.sh";
const char *const plain_script = "/tmp/tuvod-fuzz-bin/plain.sh";
const char *const mismatch_script = "/tmp/tuvod-fuzz-bin/mismatch.sh";
const char *const script_authority = "fuzz";

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

void remove_scratch() { nftw(scratch_dir().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

// Written beside the target and renamed, so that fuzzers running at the
// same time never see a half-written executable.
void install_fixed_file(const char *path, const char *text, mode_t mode) {
    mkdir("/tmp/tuvod-fuzz-bin", 0755);
    std::string tmp = std::string(path) + "." + std::to_string(getpid());
    write_file(tmp, text);
    check(chmod(tmp.c_str(), mode) == 0 && rename(tmp.c_str(), path) == 0, "install script file");
}

std::string script_config(const char *name, const char *path, const char *digest) {
    return std::string("{\"name\": \"") + name + "\", \"path\": \"" + path + "\", \"digest\": \"" +
           digest + "\", \"authority\": \"" + script_authority +
           "\", \"timeout\": 5, \"isNonBlocking\": false, \"allowConcurrentExecution\": true, "
           "\"redactArguments\": [1], \"killSignals\": []}";
}

void add_record(tuvod_state_t *tuvod, const char *uuid, bool complete) {
    json_ptr args(json_pack("[s, s]", missing_script, "secret"));
    check(tuvod_db_start_cmd(tuvod, uuid, "missing", args.get(), nullptr, nullptr) == 0, "insert record");
    if (!complete)
        return;
    json_ptr output(json_pack("{s:i, s:s, s:s}", "exitStatus", 0, "stdout", "out\n", "stderr", ""));
    check(tuvod_db_complete_cmd(tuvod, uuid, TUVOD_EXEC_COMPLETE, output.get(), nullptr) == 0,
          "complete record");
}

bool has_record(tuvod_state_t *tuvod, const char *uuid) {
    char *state = nullptr;
    int rc = tuvod_db_get_cmd(tuvod, uuid, &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    free(state);
    return rc == 0;
}

tuvod_state_t *make_state() {
    static tuvod_state_t tuvod;
    static std::string db_path = scratch_dir() + "/tuvod.db";
    static std::string scripts_dir = scratch_dir() + "/scripts";
    json_object_seed(1);
    tuvod.uuid_js = generate_uuid_js();
    tuvod.cmd_db_filename = db_path.c_str();
    tuvod.scripts_dir = scripts_dir.c_str();
    check(mkdir(scripts_dir.c_str(), 0700) == 0, "make script directory");

    install_fixed_file(plain_script, "#!/bin/false\n", 0644);
    install_fixed_file(mismatch_script, "#!/bin/false\n", 0755);
    const std::string zeros(64, '0');
    write_file(scripts_dir + "/1-missing.json", script_config("missing", missing_script, ""));
    write_file(scripts_dir + "/2-plain.json", script_config("plain", plain_script, ""));
    write_file(scripts_dir + "/3-mismatch.json",
               script_config("mismatch", mismatch_script, zeros.c_str()));
    check(tuvod_load_scripts(&tuvod) == 0 && tuvod.tuvod_scripts, "load scripts");
    check(tuvod_cmd_db_open(&tuvod) == 0, "open database");
    restore_records(&tuvod);
    return &tuvod;
}

} // namespace

const std::string &scratch_dir() {
    static const std::string dir = [] {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/tuvod-fuzz-XXXXXX";
        check(mkdtemp(tmpl.data()) != nullptr, "make scratch directory");
        return tmpl;
    }();
    static const bool registered = atexit(remove_scratch) == 0;
    (void)registered;
    return dir;
}

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    check(static_cast<bool>(fd), "open scratch file");
    while (size > 0) {
        ssize_t n = write(fd.get(), data, size);
        check(n > 0, "write scratch file");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void write_file(const std::string &path, const std::string &text) {
    write_file(path, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

void quiet_logging() {
    set_log_file("/dev/null");
    set_exec_log_file("/dev/null");
    debug_register_default_masks();
    set_info_level(INFO_DEBUG);
    set_global_debug_mask(0xff);
}

tuvod_state_t *daemon_state() {
    static tuvod_state_t *state = make_state();
    return state;
}

void restore_records(tuvod_state_t *tuvod) {
    if (!has_record(tuvod, complete_uuid))
        add_record(tuvod, complete_uuid, true);
    if (!has_record(tuvod, running_uuid))
        add_record(tuvod, running_uuid, false);
}

void check(bool cond, const char *what) {
    if (cond)
        return;
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

} // namespace fuzz
