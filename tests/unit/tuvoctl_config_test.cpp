// tuvoctl's configuration file: which file is read, what it may hold, what
// is refused, and that the command line wins over it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "ctl.hpp"

namespace {

std::map<std::string, std::string> fake_env;

const char *lookup(const char *name) {
    auto it = fake_env.find(name);
    return it == fake_env.end() ? nullptr : it->second.c_str();
}

class TuvoctlConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tuvoctl-config.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        fake_env.clear();
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string write(const std::string &text, mode_t mode = 0600) {
        std::string path = root_ + "/tuvoctl.json";
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }
    // The reason the file is refused; "" when it is taken.
    std::string refusal(const std::string &path, bool required = true) {
        ctl_file_config_t cfg;
        bool found = false;
        std::string err;
        return ctl_read_config(path, required, &cfg, &found, &err) == 0 ? "" : err;
    }

    std::string root_;
};

TEST_F(TuvoctlConfig, TheOptionThenTheEnvironmentThenTheUsersDefault) {
    ctl_options_t opts;
    bool required = false;
    fake_env = {{"HOME", "/home/op"}};
    EXPECT_EQ(ctl_config_path(opts, lookup, &required), "/home/op/.config/tuvoctl.json");
    EXPECT_FALSE(required);
    fake_env["XDG_CONFIG_HOME"] = "/cfg";
    EXPECT_EQ(ctl_config_path(opts, lookup, &required), "/cfg/tuvoctl.json");
    // A relative directory is not one to read secrets' names from.
    fake_env["XDG_CONFIG_HOME"] = "cfg";
    EXPECT_EQ(ctl_config_path(opts, lookup, &required), "/home/op/.config/tuvoctl.json");

    fake_env["TUVOCTL_CONFIG"] = "/etc/ops.json";
    EXPECT_EQ(ctl_config_path(opts, lookup, &required), "/etc/ops.json");
    EXPECT_TRUE(required);

    std::string err;
    ASSERT_EQ(ctl_parse_args({"--config", "mine.json", "list"}, &opts, &err), 0) << err;
    EXPECT_EQ(ctl_config_path(opts, lookup, &required), "mine.json");
    EXPECT_TRUE(required);

    fake_env.clear();
    EXPECT_EQ(ctl_config_path(ctl_options_t(), lookup, &required), "");
    EXPECT_NE(ctl_parse_args({"--config=", "list"}, &opts, &err), 0);
}

TEST_F(TuvoctlConfig, ReadsTheKeysWithFileNamesBesideTheFile) {
    std::string path = write("{\"endpoint\": \"tls+tcp://nas1:5558\", \"certFile\": \"ops.pem\",\n"
                             " \"keyFile\": \"keys/ops.key\", \"caFile\": \"/etc/ssl/tuvod-ca.pem\"}\n");
    ctl_file_config_t cfg;
    bool found = false;
    std::string err;
    ASSERT_EQ(ctl_read_config(path, true, &cfg, &found, &err), 0) << err;
    EXPECT_TRUE(found);
    EXPECT_EQ(cfg.endpoint, "tls+tcp://nas1:5558");
    EXPECT_EQ(cfg.tls.cert, root_ + "/ops.pem");
    EXPECT_EQ(cfg.tls.key, root_ + "/keys/ops.key");
    EXPECT_EQ(cfg.tls.ca, "/etc/ssl/tuvod-ca.pem");

    // Every key is optional.
    ctl_file_config_t empty;
    ASSERT_EQ(ctl_read_config(write("{}"), true, &empty, &found, &err), 0) << err;
    EXPECT_EQ(empty.endpoint, "");
}

TEST_F(TuvoctlConfig, AMissingFileCountsOnlyWhenItWasNamed) {
    std::string path = root_ + "/absent.json";
    ctl_file_config_t cfg;
    bool found = true;
    std::string err;
    EXPECT_EQ(ctl_read_config(path, false, &cfg, &found, &err), 0) << err;
    EXPECT_FALSE(found);
    EXPECT_NE(refusal(path).find("cannot open configuration file '" + path + "': No such file"),
              std::string::npos);
}

TEST_F(TuvoctlConfig, RefusesWhatItCannotTrustOrUnderstand) {
    struct Case {
        std::string text;
        mode_t mode;
        const char *reason;
    };
    const Case cases[] = {
        {"{\"endpoint\": ", 0600, "is not JSON: "},
        {"[\"tls+tcp://nas1:5558\"]", 0600, "must hold one JSON object"},
        {"{\"endpiont\": \"tcp://x:1\"}", 0600, "unknown key 'endpiont' (known: endpoint, certFile, keyFile, caFile)"},
        {"{\"caFile\": 7}", 0600, "\"caFile\" must be a non-empty string"},
        {"{\"certFile\": null}", 0600, "\"certFile\" must be a non-empty string"},
        {"{\"keyFile\": \"\"}", 0600, "\"keyFile\" must be a non-empty string"},
        {"{\"caFile\": \"a\", \"caFile\": \"b\"}", 0600, "is not JSON: duplicate object key"},
        {"{\"caFile\": \"a\\u0000b\"}", 0600, "is not JSON: "},
        // Whoever may change it decides where authorities are sent.
        {"{}", 0620, "may be changed by other users"},
        {"{}", 0602, "may be changed by other users"},
        {"{\"endpoint\": \"" + std::string(70 * 1024, 'x') + "\"}", 0600, "is larger than 64 KiB"},
        // A key name from the file cannot write to the terminal.
        {"{\"\\u001b[2Jx\": \"y\"}", 0600, "unknown key '\\x1b[2Jx'"},
    };
    for (const Case &c : cases) {
        std::string why = refusal(write(c.text, c.mode));
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text.substr(0, 60) << " -> " << why;
    }
    EXPECT_NE(refusal(root_).find("is not a regular file"), std::string::npos);
    if (geteuid() == 0) {
        std::string path = write("{}");
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_NE(refusal(path).find("may be changed by other users"), std::string::npos);
    }
}

TEST_F(TuvoctlConfig, TheCommandLineWins) {
    ctl_file_config_t file;
    file.endpoint = "tls+tcp://nas1:5558";
    file.tls = {"/f/ops.pem", "/f/ops.key", "/f/ca.pem"};
    std::string err;

    ctl_options_t opts;
    ASSERT_EQ(ctl_parse_args({"--cert", "/cli/other.pem", "--key=/cli/other.key", "list"}, &opts, &err), 0);
    ctl_apply_config(file, &opts);
    EXPECT_EQ(opts.endpoint, "tls+tcp://nas1:5558");
    EXPECT_EQ(opts.tls.cert, "/cli/other.pem");
    EXPECT_EQ(opts.tls.key, "/cli/other.key");
    EXPECT_EQ(opts.tls.ca, "/f/ca.pem");
    const ctl_tls_t *tls = nullptr;
    ASSERT_EQ(ctl_tls_for(opts, &tls, &err), 0) << err;
    EXPECT_EQ(tls, &opts.tls);

    // Another TLS endpoint on the command line still uses the file's certificates.
    ctl_options_t other;
    ASSERT_EQ(ctl_parse_args({"-e", "tls+tcp://nas2:5558", "status"}, &other, &err), 0);
    ctl_apply_config(file, &other);
    EXPECT_EQ(other.endpoint, "tls+tcp://nas2:5558");
    EXPECT_EQ(other.tls.cert, "/f/ops.pem");

    // A cleartext endpoint on the command line leaves the file's TLS files unused
    // rather than refused.
    ctl_options_t clear;
    ASSERT_EQ(ctl_parse_args({"-e", "tcp://127.0.0.1:5557", "list"}, &clear, &err), 0);
    ctl_apply_config(file, &clear);
    EXPECT_EQ(clear.endpoint, "tcp://127.0.0.1:5557");
    EXPECT_EQ(clear.tls.cert, "");
    ASSERT_EQ(ctl_tls_for(clear, &tls, &err), 0) << err;
    EXPECT_EQ(tls, nullptr);

    // Even the default endpoint given explicitly counts as given.
    ctl_options_t dflt;
    ASSERT_EQ(ctl_parse_args({"list", "-e", CTL_DEFAULT_ENDPOINT}, &dflt, &err), 0);
    ctl_apply_config(file, &dflt);
    EXPECT_EQ(dflt.endpoint, CTL_DEFAULT_ENDPOINT);
}

} // namespace
