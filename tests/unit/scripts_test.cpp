// Script configurations: loading, reloading, lookup and validation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"
#include "handles.hpp"
#include "log_sandbox.hpp"
#include "scripts.hpp"
#include "validate.hpp"

namespace {

using namespace std::chrono_literals;

const char *const SHA256_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class ScriptsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = sandbox_.path("conf");
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        state_.scripts_dir = dir_.c_str();
    }

    std::string conf_path(const std::string &name) const { return dir_ + "/" + name; }

    static void write_file(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::trunc) << text;
    }

    // A valid configuration; each change sets a member (from JSON text) or,
    // with an empty value, removes it.
    void write_conf(const std::string &file, const std::string &name, const std::string &path,
                    const std::vector<std::pair<std::string, std::string>> &changes = {}) {
        json_ptr conf(json_pack("{s:s, s:s, s:s, s:s, s:i, s:b, s:b, s:[], s:[]}", "name",
                                name.c_str(), "path", path.c_str(), "digest", "", "authority",
                                "admin", "timeout", 60, "isNonBlocking", 0,
                                "allowConcurrentExecution", 1, "redactArguments",
                                "killSignals"));
        for (const auto &[key, value] : changes) {
            if (value.empty()) {
                json_object_del(conf.get(), key.c_str());
                continue;
            }
            json_t *v = json_loads(value.c_str(), JSON_DECODE_ANY, nullptr);
            ASSERT_NE(v, nullptr) << value;
            json_object_set_new(conf.get(), key.c_str(), v);
        }
        cstr_ptr text(json_dumps(conf.get(), 0));
        write_file(conf_path(file), text.get());
    }

    std::vector<std::string> loaded_names() {
        std::vector<std::string> names;
        for (tuvod_script_t *s = state_.tuvod_scripts.get(); s != nullptr; s = s->next.get())
            names.push_back(s->script_name);
        return names;
    }

    bool log_has(const std::string &text) const {
        return sandbox_.raw().find(text) != std::string::npos;
    }

    static void set_instances(tuvod_script_t *s, unsigned n) {
        pthread_mutex_lock(&s->script_mutex);
        s->script_instances = n;
        pthread_cond_broadcast(&s->script_cv);
        pthread_mutex_unlock(&s->script_mutex);
    }

    log_sandbox sandbox_;
    std::string dir_;
    tuvod_state_t state_;
};

TEST_F(ScriptsTest, LoadsInNameOrderAndFirstFileWinsALookup) {
    write_conf("b.json", "B", "/bin/x");
    write_conf("a.json", "A", "/bin/x");
    write_conf(".json", "Dot", "/bin/dot");
    write_conf("a.JSON", "Upper", "/bin/upper");
    write_conf("a.json~", "Backup", "/bin/backup");

    ASSERT_EQ(tuvod_load_scripts(&state_), 0);
    EXPECT_EQ(loaded_names(), (std::vector<std::string>{"Dot", "A", "B"}));
    tuvod_script_ref found = tuvod_script(&state_, "/bin/x");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->script_name, "A");
    EXPECT_FALSE(tuvod_script(&state_, "/bin/X"));
    EXPECT_FALSE(tuvod_script(&state_, "/bin/upper"));
}

TEST_F(ScriptsTest, ListInForceSurvivesUnreadableOrEmptyDirectory) {
    write_conf("a.json", "A", "/bin/a");
    ASSERT_EQ(tuvod_load_scripts(&state_), 0);

    unlink(conf_path("a.json").c_str());
    EXPECT_EQ(tuvod_load_scripts(&state_), 0);
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"A"});
    EXPECT_TRUE(log_has("No script configs found in " + dir_));

    std::string missing = dir_ + "/nowhere";
    state_.scripts_dir = missing.c_str();
    EXPECT_EQ(tuvod_load_scripts(&state_), -1);
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"A"});

    // A directory of invalid files only empties the list.
    state_.scripts_dir = dir_.c_str();
    write_file(conf_path("bad.json"), "{");
    EXPECT_EQ(tuvod_load_scripts(&state_), 0);
    EXPECT_TRUE(loaded_names().empty());
}

TEST_F(ScriptsTest, FieldsMasksAndKillSteps) {
    int rtmax = SIGRTMAX;
    write_conf("a.json", "A", "/bin/a",
               {{"timeout", "0"},
                {"isNonBlocking", "true"},
                {"allowConcurrentExecution", "false"},
                {"redactArguments", "[1, 3, 3]"},
                {"killSignals", "[{\"signal\": 0, \"timeout\": 1}, {\"signal\": " +
                                    std::to_string(rtmax) + ", \"timeout\": 2}]"}});
    tuvod_script_ref s = tuvod_script_from_file(conf_path("a.json").c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->script_timeout, 5);
    EXPECT_TRUE(log_has("Setting timeout of A to 5\n"));
    EXPECT_TRUE(s->script_nonblock);
    EXPECT_FALSE(s->script_concurrent);
    EXPECT_EQ(s->script_redact_argv, 10);
    ASSERT_NE(s->script_killsigs, nullptr);
    EXPECT_EQ(s->script_killsigs->sig, 0);
    EXPECT_EQ(s->script_killsigs->timeout, 1);
    ASSERT_NE(s->script_killsigs->next, nullptr);
    EXPECT_EQ(s->script_killsigs->next->sig, rtmax);
    EXPECT_EQ(s->script_killsigs->next->timeout, 2);
    EXPECT_EQ(s->script_killsigs->next->next, nullptr);

    for (const char *value : {"[]", "null", "{\"signal\": 9, \"timeout\": 1}"}) {
        write_conf("d.json", "D", "/bin/d", {{"killSignals", value}});
        tuvod_script_ref d = tuvod_script_from_file(conf_path("d.json").c_str());
        ASSERT_TRUE(d) << value;
        EXPECT_EQ(d->script_killsigs, default_killsigs) << value;
    }
    const contract_killer_desc_t *k = default_killsigs;
    ASSERT_TRUE(k && k->next && k->next->next);
    EXPECT_EQ(std::make_pair(k->sig, k->timeout), std::make_pair(SIGQUIT, 30));
    EXPECT_EQ(std::make_pair(k->next->sig, k->next->timeout), std::make_pair(SIGTERM, 5));
    EXPECT_EQ(std::make_pair(k->next->next->sig, k->next->next->timeout),
              std::make_pair(SIGKILL, 5));
    EXPECT_EQ(k->next->next->next, nullptr);
}

TEST_F(ScriptsTest, InvalidMembersRejectTheFileWithTheirReason) {
    const std::string step = "{\"signal\": 9, \"timeout\": 5}";
    struct bad_case {
        std::string key, value, message;
    };
    const std::vector<bad_case> cases = {
        {"redactArguments", "[31]", "Invalid redactArguments[0] in %s - out of range (0-30)\n"},
        {"redactArguments", "[-1]", "Invalid redactArguments[0] in %s - out of range (0-30)\n"},
        {"redactArguments", "[1, \"2\"]", "Invalid redactArguments[1] in %s - integer expected\n"},
        {"redactArguments", "null", "Invalid redactArguments in %s - array expected\n"},
        {"timeout", "5.5", "Malformed script in %s: "},
        // Would wrap to 5 and -1 if narrowed to int.
        {"timeout", "4294967301", "Malformed script in %s: "},
        {"timeout", "4294967295", "Malformed script in %s: "},
        {"timeout", "-1", "Malformed script in %s: "},
        {"isNonBlocking", "1", "Malformed script in %s: "},
        {"name", "5", "Malformed script in %s: "},
        {"comment", "\"x\"", "Malformed script in %s: "},
        {"killSignals", "", "Malformed script in %s: "},
        {"killSignals", "[{\"signal\": -1, \"timeout\": 5}]", "Invalid signal -1 in %s\n"},
        {"killSignals", "[{\"signal\": 9, \"timeout\": 0}]", "Invalid signal timeout 0 in %s\n"},
        {"killSignals", "[{\"signal\": " + std::to_string(SIGRTMAX + 1) + ", \"timeout\": 5}]",
         "Invalid signal " + std::to_string(SIGRTMAX + 1) + " in %s\n"},
        {"killSignals", "[{\"signal\": 4294967305, \"timeout\": 5}]",
         "Invalid signal 4294967305 in %s\n"},
        {"killSignals", "[{\"signal\": 9, \"timeout\": 4294967301}]",
         "Invalid signal timeout 4294967301 in %s\n"},
        {"killSignals", "[" + step + ", {\"signal\": 9, \"timeout\": 5, \"x\": 1}]",
         "Malformed script in %s: "},
        {"killSignals", "[" + step + ", {\"signal\": 9}]", "Malformed script in %s: "},
        {"killSignals", "[" + step + ", 3]", "Malformed script in %s: "},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const bad_case &c = cases[i];
        std::string file = "bad" + std::to_string(i) + ".json";
        write_conf(file, "Bad", "/bin/bad", {{c.key, c.value}});
        EXPECT_FALSE(tuvod_script_from_file(conf_path(file).c_str())) << c.key << " " << c.value;
        std::string expected = c.message;
        expected.replace(expected.find("%s"), 2, conf_path(file));
        EXPECT_TRUE(log_has(expected)) << "missing: " << expected;
    }
}

TEST_F(ScriptsTest, LimitsAreOptionalAndCheckedAtLoad) {
    write_conf("a.json", "plain", "/p");
    write_conf("b.json", "all", "/b",
               {{"limits", R"({"memoryMax": 67108864, "tasksMax": 64, "cpuWeight": 200, "cpuMax": "50000 100000"})"}});
    write_conf("c.json", "unbounded-quota", "/c", {{"limits", R"({"cpuMax": "max 100000"})"}});
    struct {
        const char *limits, *message;
    } bad[] = {
        {R"({"memoryMax": "64M"})", "Malformed script in "},
        {R"({"swapMax": 1})", "Malformed script in "},
        {R"({"memoryMax": 4095})", "limits: memoryMax must be at least 4096 bytes"},
        {R"({"tasksMax": 0})", "limits: tasksMax must be from 1 to 2147483647"},
        {R"({"cpuWeight": 10001})", "limits: cpuWeight must be from 1 to 10000"},
        {R"({"cpuMax": "50000"})", "limits: cpuMax must be"},
        {R"({"cpuMax": "50000 100000 x"})", "limits: cpuMax must be"},
        {R"({"cpuMax": "5 100000"})", "limits: cpuMax must be"},
        {R"({"cpuMax": "max 999"})", "limits: cpuMax must be"},
        {R"([])", "Malformed script in "},
    };
    int n = 0;
    for (const auto &b : bad)
        write_conf("x" + std::to_string(n++) + ".json", "bad", "/x", {{"limits", b.limits}});
    ASSERT_EQ(tuvod_load_scripts(&state_), 0);
    EXPECT_EQ(loaded_names(), (std::vector<std::string>{"plain", "all", "unbounded-quota"}));
    for (const auto &b : bad)
        EXPECT_TRUE(log_has(b.message)) << b.limits;
    tuvod_script_t *plain = state_.tuvod_scripts.get();
    EXPECT_FALSE(plain->script_limits.any());
    const tuvod_limits_t &l = plain->next->script_limits;
    EXPECT_EQ(l.memory_max, 67108864);
    EXPECT_EQ(l.tasks_max, 64);
    EXPECT_EQ(l.cpu_weight, 200);
    EXPECT_EQ(l.cpu_max, "50000 100000");
    EXPECT_EQ(plain->next->next->script_limits.cpu_max, "max 100000");
}

TEST_F(ScriptsTest, BrokenDirectoryLoadsTheValidFilesOnly) {
    write_conf("good.json", "Good", "/bin/good");
    std::vector<std::string> bad = {"unparsable.json", "array.json", "extra.json", "x.json",
                                    "dangling.json",   "fifo.json"};
    write_file(conf_path("unparsable.json"), "{\"name\": ");
    write_file(conf_path("array.json"), "[1, 2]");
    write_conf("extra.json", "Extra", "/bin/extra", {{"comment", "1"}});
    ASSERT_EQ(mkdir(conf_path("x.json").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nonexistent/target", conf_path("dangling.json").c_str()), 0);
    ASSERT_EQ(mkfifo(conf_path("fifo.json").c_str(), 0644), 0);
    if (geteuid() != 0) {
        write_conf("secret.json", "Secret", "/bin/secret");
        chmod(conf_path("secret.json").c_str(), 0);
        bad.push_back("secret.json");
    }

    // Bounded: opening a FIFO for reading would otherwise wait for a writer.
    auto load = std::async(std::launch::async, [this] { return tuvod_load_scripts(&state_); });
    if (load.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "load blocked";
        unique_fd writer(open(conf_path("fifo.json").c_str(), O_WRONLY));
    }
    EXPECT_EQ(load.get(), 0);
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"Good"});
    for (const std::string &name : bad)
        EXPECT_TRUE(log_has(conf_path(name))) << "no log line for " << name;
}

TEST_F(ScriptsTest, ReloadReturnsAtOnceWhileARemovedScriptRuns) {
    write_conf("old.json", "Old", "/bin/old");
    set_info_level(INFO_DEBUG);
    global_debug_mask = DEBUG_GENERAL;
    ASSERT_EQ(tuvod_load_scripts(&state_), 0);
    EXPECT_TRUE(log_has("Loaded script config for Old (/bin/old) - "));
    tuvod_script_ref run = tuvod_script(&state_, "/bin/old");
    ASSERT_TRUE(run);
    set_instances(run.get(), 1);
    unlink(conf_path("old.json").c_str());
    write_conf("new.json", "New", "/bin/new");

    auto reload = std::async(std::launch::async, [this] { return tuvod_load_scripts(&state_); });
    ASSERT_EQ(reload.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reload.get(), 0);
    EXPECT_TRUE(tuvod_script(&state_, "/bin/new"));
    EXPECT_FALSE(tuvod_script(&state_, "/bin/old"));
    // The run's reference keeps the record whole after the list let it go.
    EXPECT_EQ(run.use_count(), 1);
    EXPECT_EQ(run->script_name, "Old");
    EXPECT_EQ(run->script_instances, 1u);
    EXPECT_EQ(run->script_killsigs, default_killsigs);
    EXPECT_EQ(run->next, nullptr);
    set_instances(run.get(), 0);
}

TEST_F(ScriptsTest, ReloadDoesNotWaitForAFinishedRequestStillHoldingItsRecord) {
    write_conf("a.json", "A", "/bin/a");
    write_conf("b.json", "B", "/bin/b", {{"killSignals", "[{\"signal\": 9, \"timeout\": 1}]"}});
    ASSERT_EQ(tuvod_load_scripts(&state_), 0);
    tuvod_script_ref held = tuvod_script(&state_, "/bin/b");
    ASSERT_TRUE(held);

    auto reload = std::async(std::launch::async, [this] { return tuvod_load_scripts(&state_); });
    ASSERT_EQ(reload.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reload.get(), 0);
    tuvod_script_ref fresh = tuvod_script(&state_, "/bin/b");
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.get(), held.get());
    EXPECT_EQ(held->script_name, "B");
    EXPECT_EQ(held->script_killsigs->sig, 9);
}

// ---- Validation ----

class ValidateTest : public ScriptsTest {
  protected:
    void SetUp() override {
        ScriptsTest::SetUp();
        exe_ = conf_path("run.sh");
        write_file(exe_, "abc");
        ASSERT_EQ(chmod(exe_.c_str(), 0755), 0);
        script_.script_name = "Run";
        script_.script_path = exe_;
        script_.script_authority = "admin";
        script_.script_digest = SHA256_ABC;
    }

    time_t ctime_now() const {
        struct stat st;
        EXPECT_EQ(stat(exe_.c_str(), &st), 0);
        return st.st_ctim.tv_sec;
    }

    // File times come from the coarse clock; waiting for its next second
    // guarantees that the following change moves the status-change time.
    void next_second() {
        time_t from = ctime_now();
        auto until = std::chrono::steady_clock::now() + 3s;
        struct timespec now;
        while (clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 && now.tv_sec <= from &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
    }

    int validate(int *code, std::string *text = nullptr) {
        error_stack errors;
        int rc = validate_script(&script_, errors.ptr());
        *code = errors.head() != nullptr ? errors.head()->error_code : 0;
        if (text != nullptr && errors.head() != nullptr)
            *text = errors.head()->error_string;
        return rc;
    }

    std::string exe_;
    tuvod_script_t script_;
};

TEST_F(ValidateTest, DigestOfKnownContents) {
    char digest[129];
    ASSERT_EQ(tuvod_script_digest(exe_.c_str(), digest, sizeof digest), 0);
    EXPECT_STREQ(digest, SHA256_ABC);

    // Many 4096-byte blocks and a partial last one.
    write_file(exe_, std::string(1000000, 'a'));
    ASSERT_EQ(tuvod_script_digest(exe_.c_str(), digest, sizeof digest), 0);
    EXPECT_STREQ(digest, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    char exact[65];
    EXPECT_EQ(tuvod_script_digest(exe_.c_str(), exact, sizeof exact), 0);
    EXPECT_EQ(tuvod_script_digest(exe_.c_str(), exact, 64), -1);
    EXPECT_EQ(tuvod_script_digest(conf_path("missing").c_str(), digest, sizeof digest), -1);
}

TEST_F(ValidateTest, RefusalsCarryTheirCodes) {
    error_stack errors;
    EXPECT_EQ(validate_authority(&script_, "admin", errors.ptr()), 0);
    EXPECT_EQ(validate_authority(&script_, "Admin", errors.ptr()), -1);
    ASSERT_NE(errors.head(), nullptr);
    EXPECT_EQ(errors.head()->error_code, 1);
    EXPECT_EQ(std::string(errors.head()->error_string), "No authority to run script '" + exe_ + "'");

    int code = 0;
    std::string text;
    script_.script_digest = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 22);
    EXPECT_EQ(text, "Script digest mismatch for '" + exe_ + "'");
    EXPECT_FALSE(script_.digest_checked);

    script_.script_digest = "";
    ASSERT_EQ(chmod(exe_.c_str(), 0644), 0);
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(text, "'" + exe_ + "' for 'Run' is not executable");
    for (mode_t mode : {0744, 0100}) {
        ASSERT_EQ(chmod(exe_.c_str(), mode), 0);
        EXPECT_EQ(validate(&code), 0) << std::oct << mode;
    }

    unlink(exe_.c_str());
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 5);
    EXPECT_NE(text.find(strerror(ENOENT)), std::string::npos) << text;
}

bool cached_as_now(tuvod_script_t &script, const std::string &path) {
    struct stat st;
    std::lock_guard<std::mutex> lock(script.digest_mutex);
    return stat(path.c_str(), &st) == 0 && script.digest_checked &&
           same_script_identity(script.digest_identity, st);
}

// The cache is keyed on device, inode, size and the nanosecond times, so a
// rewrite within the same second is noticed.
TEST_F(ValidateTest, DigestCachedWhileTheFileIsUnchanged) {
    int code = 0;
    ASSERT_EQ(validate(&code), 0);
    EXPECT_TRUE(cached_as_now(script_, exe_));

    // Untouched: not read again, so even a wrong configured digest passes.
    script_.script_digest = std::string(64, '0');
    EXPECT_EQ(validate(&code), 0);
    script_.script_digest = SHA256_ABC;

    write_file(exe_, "abd");
    EXPECT_EQ(validate(&code), -1);
    EXPECT_EQ(code, 22);
    EXPECT_FALSE(cached_as_now(script_, exe_));

    write_file(exe_, "abc");
    EXPECT_EQ(validate(&code), 0);
    EXPECT_TRUE(cached_as_now(script_, exe_));

    // Renamed over by a file of the same content and times: a new inode.
    std::string other = conf_path("other.sh");
    write_file(other, "abc");
    ASSERT_EQ(chmod(other.c_str(), 0755), 0);
    ASSERT_EQ(rename(other.c_str(), exe_.c_str()), 0);
    EXPECT_FALSE(cached_as_now(script_, exe_));
    EXPECT_EQ(validate(&code), 0);
    EXPECT_TRUE(cached_as_now(script_, exe_));

    ASSERT_EQ(chmod(exe_.c_str(), 0744), 0);
    EXPECT_FALSE(cached_as_now(script_, exe_));
    EXPECT_EQ(validate(&code), 0);
    EXPECT_TRUE(cached_as_now(script_, exe_));
}

// The path is walked one component at a time: a directory reached through
// a symbolic link is checked, and so is the directory holding the link.
TEST_F(ValidateTest, SymbolicLinksOnThePathAreFollowedAndChecked) {
    script_.script_digest = "";
    std::string real = conf_path("real");
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(rename(exe_.c_str(), (real + "/run.sh").c_str()), 0);
    std::string links = conf_path("links");
    ASSERT_EQ(mkdir(links.c_str(), 0755), 0);
    ASSERT_EQ(symlink("../real", (links + "/d").c_str()), 0);
    script_.script_path = links + "/d/./run.sh";
    int code = 0;
    std::string text;
    EXPECT_EQ(validate(&code, &text), 0) << text;

    ASSERT_EQ(chmod(real.c_str(), 0777), 0);
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("is writable by group or others"), std::string::npos) << text;
    ASSERT_EQ(chmod(real.c_str(), 0755), 0);

    ASSERT_EQ(chmod(links.c_str(), 0775), 0);
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("links' is writable by group or others"), std::string::npos) << text;
    ASSERT_EQ(chmod(links.c_str(), 0755), 0);

    // A final link of a trusted owner is followed, and its target's
    // directories are checked as any others: one into a directory others
    // can write is refused.
    ASSERT_EQ(symlink("real/run.sh", conf_path("alias.sh").c_str()), 0);
    script_.script_path = conf_path("alias.sh");
    EXPECT_EQ(validate(&code, &text), 0) << text;
    ASSERT_EQ(chmod(real.c_str(), 0777), 0);
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(text, "Refusing '" + script_.script_path + "' for 'Run': directory '" + real +
                        "' is writable by group or others");
    ASSERT_EQ(chmod(real.c_str(), 0755), 0);
    // A link another user made is not followed.
    if (geteuid() == 0) {
        ASSERT_EQ(lchown(script_.script_path.c_str(), 4321, 4321), 0);
        EXPECT_EQ(validate(&code, &text), -1);
        EXPECT_EQ(code, 1);
        EXPECT_EQ(text, "Refusing '" + script_.script_path + "' for 'Run': symbolic link '" +
                            script_.script_path + "' is owned by uid 4321");
    }

    // Links that lead round in a circle end.
    ASSERT_EQ(symlink("loop", conf_path("loop").c_str()), 0);
    script_.script_path = conf_path("loop") + "/run.sh";
    EXPECT_EQ(validate(&code, &text), -1);
    EXPECT_EQ(code, 5);
}

} // namespace
