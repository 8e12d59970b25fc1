// The daemon configuration: the merge of a parsed file with the defaults,
// the whole load of a file (open, repair, parse, merge, rewrite), and the
// warnings about keys and addresses it would not use.
//
// An input that is a two-element array is taken as [configuration,
// defaults], so that both sides of the merge vary; anything else is merged
// with defaults shaped like the daemon's.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "config.hpp"
#include "config_check.hpp"
#include "fuzz_env.hpp"
#include "handles.hpp"

namespace {

json_ptr daemon_defaults() {
    return json_ptr(json_pack("{s:s, s:[s, s], s:{s:i, s:[i]}}", "tuvodUUID",
                              "00000000-0000-4000-8000-000000000001", "bindAddrs", "127.0.0.1",
                              "10.0.0.1", "nested", "level", 1, "list", 2));
}

// After a merge that did not fail every default key is present with the
// default's type, and merging again changes nothing.
void check_merge(json_t *parsed, json_t *defaults) {
    json_t *conf = json_deep_copy(parsed);
    json_ptr owner(conf);
    if (conf == nullptr)
        return; // not every value can be copied (deep nesting)
    tuvod_merge_result_t result = tuvod_merge_config_objects(&conf, defaults);
    if (!json_is_object(parsed) || !json_is_object(defaults)) {
        fuzz::check(result == MERGE_FAILED, "only objects merge");
        return;
    }
    if (result == MERGE_FAILED)
        return;
    const char *key;
    json_t *value;
    json_object_foreach(defaults, key, value) {
        json_t *merged = json_object_get(conf, key);
        fuzz::check(merged != nullptr && json_typeof(merged) == json_typeof(value),
                    "default key present with its type");
    }
    fuzz::check(result == MERGE_CHANGED || json_equal(conf, parsed), "no change means equal");
    fuzz::check(tuvod_merge_config_objects(&conf, defaults) == MERGE_NOCHANGE, "merge settles");
}

// Whatever the file held, the daemon comes away with an instance
// identifier and bind addresses, unless a key that guards access has a
// value of the wrong type; and once a file parsed, its last good copy
// stands in for a file that stops parsing.
void check_load(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch_dir() + "/config.json";
    fuzz::write_file(path, data, size);
    tuvod_state_t tuvod;
    tuvod.config_filename = path.c_str();
    int rc = tuvod_load_config(&tuvod);
    json_ptr config(tuvod.config_js);
    if (rc != 0) {
        json_ptr parsed(json_loadb(reinterpret_cast<const char *>(data), size, 0, nullptr));
        fuzz::check(!tuvod_config_type_problems(parsed.get()).empty(), "refused only for a wrong type");
        return;
    }
    fuzz::check(json_is_string(json_object_get(config.get(), "tuvodUUID")), "instance identifier");
    fuzz::check(json_is_array(json_object_get(config.get(), "bindAddrs")), "bind addresses");

    json_ptr last_good = tuvod_read_last_good(path.c_str(), getuid());
    if (!last_good)
        return;
    static const uint8_t broken[] = {'{'};
    fuzz::write_file(path, broken, sizeof broken);
    tuvod_state_t again;
    again.config_filename = path.c_str();
    fuzz::check(tuvod_load_config(&again) == 0, "an unparsable file loads");
    json_ptr second(again.config_js);
    fuzz::check(json_equal(second.get(), last_good.get()), "the last good copy stands in");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_logging();
    return 0;
}

// Warnings are bounded in number and length, and carry no control byte
// into a log line or a terminal.
void check_warnings(json_t *parsed) {
    std::vector<std::string> warnings = tuvod_config_warnings(parsed);
    fuzz::check(warnings.size() <= 33, "warnings are capped");
    for (const std::string &w : warnings) {
        fuzz::check(w.size() < 2048, "a warning is one bounded line");
        for (unsigned char c : w)
            fuzz::check(c >= 0x20 && c != 0x7f, "no control bytes in a warning");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json_ptr parsed(json_loadb(reinterpret_cast<const char *>(data), size, 0, nullptr));
    if (parsed)
        check_warnings(parsed.get());
    if (parsed) {
        if (json_is_array(parsed.get()) && json_array_size(parsed.get()) == 2) {
            check_merge(json_array_get(parsed.get(), 0), json_array_get(parsed.get(), 1));
        } else {
            json_ptr defaults = daemon_defaults();
            check_merge(parsed.get(), defaults.get());
        }
    }
    check_load(data, size);
    return 0;
}
