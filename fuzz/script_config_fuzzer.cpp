// A script configuration file: read on its own, then as the only file of a
// script directory that is loaded over the list already in force (which
// exercises the swap and the release of the removed records).
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <string>

#include "fuzz_env.hpp"
#include "scripts.hpp"

namespace {

// A record that was accepted must hold values the runner can use as they are.
void check_record(const tuvod_script_t &script) {
    fuzz::check(script.script_timeout > 0, "positive time-out");
    fuzz::check(script.script_redact_argv >= 0, "redaction mask fits");
    fuzz::check(script.script_killsigs != nullptr, "kill steps");
    int steps = 0;
    for (const contract_killer_desc_t *d = script.script_killsigs; d != nullptr; d = d->next) {
        fuzz::check(d->sig >= 0 && d->sig <= SIGRTMAX, "signal in range");
        fuzz::check(d->timeout > 0, "step waits");
        fuzz::check(++steps < 1000000, "kill steps end");
    }
}

tuvod_state_t &state() {
    static tuvod_state_t tuvod;
    static const std::string dir = fuzz::scratch_dir() + "/scripts";
    if (tuvod.scripts_dir == nullptr) {
        fuzz::check(mkdir(dir.c_str(), 0700) == 0, "make script directory");
        tuvod.scripts_dir = dir.c_str();
    }
    return tuvod;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_logging();
    state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tuvod_state_t &tuvod = state();
    const std::string path = std::string(tuvod.scripts_dir) + "/script.json";
    fuzz::write_file(path, data, size);

    tuvod_script_ref script = tuvod_script_from_file(path.c_str());
    if (script)
        check_record(*script);

    fuzz::check(tuvod_load_scripts(&tuvod) == 0, "directory loads");
    fuzz::check(static_cast<bool>(tuvod.tuvod_scripts) == static_cast<bool>(script),
                "the list holds exactly the valid file");
    if (script) {
        check_record(*tuvod.tuvod_scripts);
        tuvod_script_ref found = tuvod_script(&tuvod, script->script_path.c_str());
        fuzz::check(found == tuvod.tuvod_scripts, "lookup by path");
    }
    return 0;
}
