// The daemon configuration file: creation, repair, merge with the defaults,
// rewrite rules and the typed lookups.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "config.hpp"
#include "config_check.hpp"
#include "handles.hpp"
#include "log_sandbox.hpp"

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = sandbox_.path("config.json");
        state_.config_filename = path_.c_str();
    }
    void TearDown() override { json_decref(state_.config_js); }

    void write(const std::string &text, mode_t mode = 0600) const {
        std::ofstream(path_, std::ios::trunc) << text;
        chmod(path_.c_str(), mode);
    }
    std::string file_text() const { return log_sandbox::read_file(path_); }
    json_ptr file_json() const { return json_ptr(json_loads(file_text().c_str(), 0, nullptr)); }
    ino_t inode() const {
        struct stat st {};
        stat(path_.c_str(), &st);
        return st.st_ino;
    }
    std::string uuid() { return tuvod_conf_get_string(&state_, nullptr, "tuvodUUID", ""); }
    bool logged(const std::string &text) const { return sandbox_.raw().find(text) != std::string::npos; }

    // The file as the daemon writes it: indented by 4, no trailing newline.
    std::string dumped(json_t *js) const {
        cstr_ptr text(json_dumps(js, JSON_INDENT(4)));
        return text.get();
    }

    log_sandbox sandbox_;
    std::string path_;
    tuvod_state_t state_;
};

TEST_F(ConfigTest, MissingFileIsCreatedWithDefaultsOwnerAndMode) {
    ASSERT_EQ(tuvod_load_config(&state_), 0);

    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(st.st_gid, getgid());

    json_ptr on_disk = file_json();
    ASSERT_TRUE(on_disk);
    EXPECT_EQ(json_object_size(on_disk.get()), 2u);
    EXPECT_EQ(uuid().size(), 36u);
    EXPECT_STREQ(json_string_value(json_object_get(on_disk.get(), "tuvodUUID")), uuid().c_str());
    json_t *addrs = json_object_get(on_disk.get(), "bindAddrs");
    ASSERT_TRUE(json_is_array(addrs));
    EXPECT_STREQ(json_string_value(json_array_get(addrs, 0)), "127.0.0.1");
    EXPECT_EQ(file_text(), dumped(state_.config_js));
    EXPECT_NE(file_text().back(), '\n');
}

TEST_F(ConfigTest, EmptyFileIsFilledWithTheIdentifierInUse) {
    write("");
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    json_ptr on_disk = file_json();
    ASSERT_TRUE(on_disk);
    EXPECT_STREQ(json_string_value(json_object_get(on_disk.get(), "tuvodUUID")), uuid().c_str());
}

TEST_F(ConfigTest, UnparsableTextIsWarnedAboutAndReplaced) {
    write("{\n  \"tuvodUUID\": oops\n}");
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_TRUE(logged("Unable to parse config file " + path_ + ": "));
    EXPECT_TRUE(logged("(line 2), default will be used\n"));
    EXPECT_EQ(file_text(), dumped(state_.config_js));
    EXPECT_EQ(uuid().size(), 36u);
}

TEST_F(ConfigTest, TopLevelArrayIsReplacedWithoutWarning) {
    write("[1, 2, 3]");
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_FALSE(logged("Unable to parse"));
    EXPECT_TRUE(json_is_object(state_.config_js));
    EXPECT_EQ(file_text(), dumped(state_.config_js));
}

TEST_F(ConfigTest, CompleteFileIsReadButNotWritten) {
    write(R"({"tuvodUUID":"0a1b2c3d-0000-4000-8000-000000000001","bindAddrs":[],"infoLevel":"info"})");
    // Whatever clmgmt0 holds on this host is part of the defaults.
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    cstr_ptr complete(json_dumps(state_.config_js, JSON_COMPACT)); // any rewrite would indent it
    json_decref(state_.config_js);
    state_.config_js = nullptr;
    write(complete.get());
    const std::string before = file_text();
    const ino_t ino = inode();

    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_EQ(file_text(), before);
    EXPECT_EQ(inode(), ino);
    EXPECT_EQ(uuid(), "0a1b2c3d-0000-4000-8000-000000000001");
}

TEST_F(ConfigTest, MergeReplacesMistypedValuesKeepsUnknownKeysAndAppendsDefaults) {
    write(R"({"tuvodUUID": 17, "bindAddrs": ["10.0.0.5"], "site": {"rack": 4, "tags": ["a"]}, "debugMask": "DB"})");
    ASSERT_EQ(tuvod_load_config(&state_), 0);

    EXPECT_EQ(uuid().size(), 36u);
    json_t *addrs = tuvod_conf_get_array(&state_, nullptr, "bindAddrs", nullptr);
    ASSERT_GE(json_array_size(addrs), 2u);
    EXPECT_STREQ(json_string_value(json_array_get(addrs, 0)), "10.0.0.5");
    EXPECT_STREQ(json_string_value(json_array_get(addrs, 1)), "127.0.0.1");
    EXPECT_EQ(tuvod_conf_get_int(&state_, "site", "rack", 0), 4);
    EXPECT_STREQ(tuvod_conf_get_string(&state_, nullptr, "debugMask", nullptr), "DB");

    json_ptr on_disk = file_json();
    ASSERT_TRUE(on_disk);
    EXPECT_TRUE(json_equal(on_disk.get(), state_.config_js));

    json_decref(state_.config_js);
    state_.config_js = nullptr;
    write(R"({"tuvodUUID": "x", "bindAddrs": "127.0.0.1"})");
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    addrs = tuvod_conf_get_array(&state_, nullptr, "bindAddrs", nullptr);
    ASSERT_NE(addrs, nullptr);
    EXPECT_STREQ(json_string_value(json_array_get(addrs, 0)), "127.0.0.1");
    EXPECT_EQ(uuid(), "x");
}

TEST_F(ConfigTest, NestedObjectsAndArraysMergeWithoutReordering) {
    json_ptr defaults(json_pack("{s:{s:i, s:[s,s]}, s:s}", "inner", "n", 1, "list", "a", "b", "top", "t"));
    json_ptr conf(json_pack("{s:{s:i, s:[s,s]}}", "inner", "n", 7, "list", "b", "z"));
    json_t *conf_js = conf.get();
    EXPECT_EQ(tuvod_merge_config_objects(&conf_js, defaults.get()), MERGE_CHANGED);
    json_ptr expected(json_pack("{s:{s:i, s:[s,s,s]}, s:s}", "inner", "n", 7, "list", "b", "z", "a", "top", "t"));
    EXPECT_TRUE(json_equal(conf.get(), expected.get()));
    EXPECT_EQ(tuvod_merge_config_objects(&conf_js, defaults.get()), MERGE_NOCHANGE);

    json_ptr array(json_array());
    json_t *array_js = array.get();
    EXPECT_EQ(tuvod_merge_config_objects(&array_js, defaults.get()), MERGE_FAILED);
}

TEST_F(ConfigTest, SymbolicLinkIsRefused) {
    const std::string target = sandbox_.path("real.json");
    std::ofstream(target) << R"({"tuvodUUID": "u", "bindAddrs": ["127.0.0.1"]})";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    state_.config_js = json_object();
    json_t *before = state_.config_js;

    EXPECT_EQ(tuvod_load_config(&state_), -1);
    EXPECT_EQ(state_.config_js, before);
    EXPECT_TRUE(logged("Unable to open configuration file " + path_ + ": "));
}

TEST_F(ConfigTest, ForeignOwnerAndModeAreRepairedBeforeReading) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to hand the file to another user";
    write(R"({"tuvodUUID": "u", "bindAddrs": ["127.0.0.1"]})", 0644);
    ASSERT_EQ(chown(path_.c_str(), 4242, 4343), 0);

    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_TRUE(logged("Fixing ownership of " + path_ + " (should be 0:0, currently 4242:4343)\n"));
    EXPECT_TRUE(logged("Fixing permissions on " + path_ + " (should be 600, currently 644)\n"));
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A rewrite that cannot be completed (here: the file size limit, as a full
// disk would) must leave the old file whole, identifier and all.
TEST_F(ConfigTest, FailedRewriteKeepsTheOldFile) {
    const std::string text = R"({"tuvodUUID":"keep-me","bindAddrs":[],"note":"unknown keys matter too"})";
    write(text);

    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = text.size();
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = tuvod_load_config(&state_);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    ASSERT_EQ(rc, 0);
    EXPECT_EQ(file_text(), text);
    EXPECT_EQ(uuid(), "keep-me");
    EXPECT_STREQ(json_string_value(json_array_get(tuvod_conf_get_array(&state_, nullptr, "bindAddrs", nullptr), 0)),
                 "127.0.0.1");
    // No temporary file is left behind.
    size_t entries = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(sandbox_.path("")))
        entries++;
    EXPECT_EQ(entries, 2u); // config.json and the log
}

TEST_F(ConfigTest, TypedGettersReturnTheDefaultOnMismatch) {
    state_.config_js = json_pack("{s:f, s:i, s:s, s:b, s:s, s:{s:i}}", "real", 5.0, "int", -3, "str", "text",
                                 "flag", 1, "parent_str", "x", "obj", "k", 9);
    EXPECT_EQ(tuvod_conf_get_int(&state_, nullptr, "real", 11), 11);
    EXPECT_EQ(tuvod_conf_get_int(&state_, nullptr, "int", 11), -3);
    EXPECT_TRUE(tuvod_conf_get_bool(&state_, nullptr, "str", true));
    EXPECT_FALSE(tuvod_conf_get_bool(&state_, nullptr, "str", false));
    EXPECT_TRUE(tuvod_conf_get_bool(&state_, nullptr, "flag", false));
    EXPECT_STREQ(tuvod_conf_get_string(&state_, nullptr, "int", "dflt"), "dflt");
    EXPECT_EQ(tuvod_conf_get_int(&state_, "obj", "k", 0), 9);
    EXPECT_EQ(tuvod_conf_get_int(&state_, "missing", "k", 1), 1);
    EXPECT_EQ(tuvod_conf_get_int(&state_, "parent_str", "k", 2), 2);
    EXPECT_EQ(tuvod_conf_get_object(&state_, nullptr, "str", nullptr), nullptr);
    EXPECT_EQ(tuvod_conf_get_array(&state_, nullptr, "obj", nullptr), nullptr);
    EXPECT_EQ(json_object_size(state_.config_js), 6u); // getters never create a parent

    tuvod_state_t empty;
    EXPECT_EQ(tuvod_conf_get_int(&empty, nullptr, "k", 4), 4);
}

TEST_F(ConfigTest, SettersCreateParentsAndRefuseNonObjects) {
    state_.config_js = json_pack("{s:s}", "parent_str", "x");
    EXPECT_EQ(tuvod_conf_set_int(&state_, "new_parent", "n", 5), 0);
    EXPECT_EQ(tuvod_conf_get_int(&state_, "new_parent", "n", 0), 5);
    EXPECT_EQ(tuvod_conf_set_bool(&state_, nullptr, "b", true), 0);
    EXPECT_TRUE(tuvod_conf_get_bool(&state_, nullptr, "b", false));
    EXPECT_EQ(tuvod_conf_set_string(&state_, "parent_str", "k", "v"), -1);

    json_t *val = json_string("shared");
    EXPECT_EQ(tuvod_conf_set(&state_, nullptr, "s", val), 0);
    EXPECT_EQ(val->refcount, 2u); // the configuration took its own reference
    json_decref(val);
    EXPECT_EQ(tuvod_conf_set_new(&state_, "parent_str", "k", json_string("consumed on failure")), -1);

    EXPECT_EQ(tuvod_save_config(&state_), 0);
    json_ptr on_disk = file_json();
    ASSERT_TRUE(on_disk);
    EXPECT_TRUE(json_equal(on_disk.get(), state_.config_js));
    EXPECT_EQ(file_text(), dumped(state_.config_js));
}

} // namespace

namespace {

// The last good copy: written when the file parsed and only when it
// changed; it stands in for a file that stops parsing, which is left as it
// is; a copy others could have written is not trusted.
TEST_F(ConfigTest, LastGoodCopyStandsInForAnUnparsableFile) {
    const std::string copy = path_ + ".last-good";
    write("{\"tuvodUUID\": \"11111111-2222-3333-4444-555555555555\", \"bindAddrs\": [\"127.0.0.1\"], "
          "\"tls\": {\"port\": 5558}}");
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_EQ(log_sandbox::read_file(copy), dumped(state_.config_js));
    struct stat st {};
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Unchanged: not written again.
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    struct stat again {};
    ASSERT_EQ(stat(copy.c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, st.st_ino);

    const std::string broken = "{\"tuvodUUID\": \"11111111-2222-3333-4444-555555555555\",}";
    write(broken);
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_EQ(uuid(), "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(tuvod_conf_get_int(&state_, "tls", "port", 0), 5558);
    EXPECT_EQ(file_text(), broken);
    EXPECT_TRUE(logged("Unable to parse config file " + path_ + ": "));
    EXPECT_TRUE(logged("(line 1); running on the last good copy " + copy + " until it is fixed\n"));

    ASSERT_EQ(chmod(copy.c_str(), 0622), 0);
    ASSERT_EQ(tuvod_load_config(&state_), 0);
    EXPECT_TRUE(logged("Not using the last good configuration " + copy + ": not owned by uid " +
                       std::to_string(getuid()) + " or writable by others\n"));
    EXPECT_NE(uuid(), "11111111-2222-3333-4444-555555555555");
}

TEST_F(ConfigTest, WrongTypesInKeysThatGuardAccessRefuseTheLoad) {
    const std::string text = "{\"tls\": {\"bindAddrs\": \"127.0.0.1\", \"certFile\": 1, \"keyFile\": \"k\", "
                             "\"clientCAFile\": [], \"port\": \"5558\", \"cleartextLoopbackOnly\": 1}, "
                             "\"legacyUsers\": [\"ops\", -1]}";
    write(text);
    EXPECT_EQ(tuvod_load_config(&state_), -1);
    for (const char *msg : {"Configuration key \"tls.bindAddrs\" must be a list of address strings\n",
                            "Configuration key \"tls.port\" must be a port number from 1 to 65535\n",
                            "Configuration key \"tls.certFile\" must be a file name\n",
                            "Configuration key \"tls.clientCAFile\" must be a file name\n",
                            "Configuration key \"tls.cleartextLoopbackOnly\" must be true or false\n",
                            "Configuration key \"legacyUsers\" must be a list of user names or uids\n"})
        EXPECT_TRUE(logged(msg)) << msg;
    EXPECT_FALSE(logged("tls.keyFile"));
    EXPECT_EQ(file_text(), text);
    EXPECT_EQ(state_.config_js, nullptr);
    write("{\"tls\": \"on\"}");
    EXPECT_EQ(tuvod_load_config(&state_), -1);
    EXPECT_TRUE(logged("Configuration key \"tls\" must be an object\n"));
    EXPECT_NE(access((path_ + ".last-good").c_str(), F_OK), 0);
}

// What the daemon keeps but will not use as meant is named, at load and by
// the shared check, in the same words; the file still loads.
TEST_F(ConfigTest, UnknownKeysAndUnbindableAddressesAreWarnedAboutButKept) {
    const std::string text = "{\"tuvodUUID\": \"11111111-2222-3333-4444-555555555555\", "
                             "\"bindAddrs\": [\"127.0.0.1\", \"not-an-ip\", \"::1\", 7], "
                             "\"tlss\": {\"port\": 5558}, \"MaxConnections\": 9, \"color\": \"blue\", "
                             "\"tls\": {\"bindAddrs\": [\"10.0.0.1\", \"host.example\"], \"certfile\": \"c\"}, "
                             "\"legacyUsers\": [], \"maxOutputBytes\": 4096}";
    write(text);
    const std::vector<std::string> expected = {
        "Unknown configuration key \"tlss\" (kept, not used; did you mean \"tls\"?)",
        "Unknown configuration key \"MaxConnections\" (kept, not used; did you mean \"maxConnections\"?)",
        "Unknown configuration key \"color\" (kept, not used)",
        "Configuration key \"bindAddrs\" entry \"not-an-ip\" is not an IPv4 address; it will fail to bind and be "
        "skipped",
        "Configuration key \"bindAddrs\" entry \"::1\" is not an IPv4 address; it will fail to bind and be skipped",
        "Configuration key \"bindAddrs\" element 3 is not an address string; it is skipped",
        "Unknown configuration key \"tls.certfile\" (kept, not used; did you mean \"tls.certFile\"?)",
        "Configuration key \"tls.bindAddrs\" entry \"host.example\" is not an IPv4 address; it will fail to bind "
        "and be skipped",
    };
    std::vector<std::string> warnings;
    EXPECT_TRUE(tuvod_config_check_file(path_.c_str(), &warnings).empty());
    std::vector<std::string> sorted_warnings = warnings, sorted_expected = expected;
    std::sort(sorted_warnings.begin(), sorted_warnings.end());
    std::sort(sorted_expected.begin(), sorted_expected.end());
    EXPECT_EQ(sorted_warnings, sorted_expected);

    ASSERT_EQ(tuvod_load_config(&state_), 0);
    for (const std::string &w : expected)
        EXPECT_TRUE(logged(w + "\n")) << w;
    EXPECT_EQ(uuid(), "11111111-2222-3333-4444-555555555555");
    EXPECT_TRUE(json_is_object(json_object_get(state_.config_js, "tlss")));
}

TEST_F(ConfigTest, KnownKeysDrawNoWarningAndStrangeKeysAreEscapedAndCounted) {
    json_ptr clean(json_loads("{\"tuvodUUID\": \"u\", \"bindAddrs\": [\"127.0.0.1\"], \"infoLevel\": \"Info\", "
                              "\"debugMask\": \"DB\", \"legacyUsers\": [0], \"resultRetentionSeconds\": 0, "
                              "\"maxQueuedRequests\": 1, \"maxQueuedBytes\": 1, \"maxAsyncRuns\": 1, "
                              "\"maxOutputBytes\": 1, \"maxConnections\": 1, \"maxConnectionsPerAddress\": 1, "
                              "\"handshakeTimeoutSeconds\": 1, \"idleTimeoutSeconds\": 1, \"maxPendingRequests\": 1, "
                              "\"tls\": {\"bindAddrs\": [], \"port\": 1, \"certFile\": \"c\", \"keyFile\": \"k\", "
                              "\"clientCAFile\": \"a\", \"clientCRLFile\": \"r\", \"cleartextLoopbackOnly\": true}}",
                              0, nullptr));
    ASSERT_TRUE(clean);
    EXPECT_TRUE(tuvod_config_warnings(clean.get()).empty());

    json_ptr hostile(json_object());
    json_object_set_new(hostile.get(), "x\x1b[2J\nInjected", json_true());
    std::vector<std::string> one = tuvod_config_warnings(hostile.get());
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], "Unknown configuration key \"x\\x1b[2J\\nInjected\" (kept, not used)");

    json_ptr many(json_object());
    for (int i = 0; i < 100; i++)
        json_object_set_new(many.get(), ("zz" + std::to_string(i)).c_str(), json_null());
    std::vector<std::string> capped = tuvod_config_warnings(many.get());
    ASSERT_EQ(capped.size(), 33u);
    EXPECT_EQ(capped.back(), "... and 68 more configuration warnings");
}

} // namespace
