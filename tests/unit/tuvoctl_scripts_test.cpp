// Script configurations from tuvoctl: what script-config writes must load
// and validate in the daemon, and check-scripts must flag every file the
// daemon would refuse or shadow.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "capture.hpp"
#include "ctl.hpp"
#include "error.hpp"
#include "scripts.hpp"
#include "validate.hpp"

namespace {

std::string json_dumps_text(json_t *v) {
    cstr_ptr text(v != nullptr ? json_dumps(v, JSON_ENCODE_ANY) : nullptr);
    return text ? text.get() : "";
}

class TuvoctlScripts : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tuvoctl-scripts.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        conf_ = root_ + "/script_config.d";
        std::filesystem::create_directory(conf_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string write(const std::string &path, const std::string &text, mode_t mode = 0644) {
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }
    std::string exe(const std::string &name, const std::string &body = "echo hi\n") {
        return write(root_ + "/" + name, "#!/bin/sh\n" + body, 0755);
    }
    // A configuration made by script-config, saved as conf_/file.
    void configure(const std::string &file, const std::string &path, const std::string &name) {
        ctl_options_t o;
        o.executable = path;
        o.name = name;
        o.authority = "ops";
        std::string err, warning;
        json_ptr config = ctl_script_config(o, &err, &warning);
        ASSERT_TRUE(config) << err;
        write(conf_ + "/" + file, ctl_script_config_text(config.get()));
    }
    std::string check(int *rc, bool quiet = false) {
        capture out;
        ctl_check_report_t report;
        *rc = ctl_check_scripts(conf_, quiet, out.file(), &report);
        return out.text();
    }

    std::string root_, conf_;
};

TEST_F(TuvoctlScripts, GeneratedConfigurationLoadsAndPassesValidation) {
    ctl_options_t o;
    o.executable = exe("disk");
    o.name = "disk usage";
    o.authority = "monitor";
    o.script_timeout = 17;
    o.concurrent = true;
    o.redact = {1, 3};
    o.kill = {{SIGTERM, 4}, {SIGKILL, 2}};
    std::string err, warning;
    json_ptr config = ctl_script_config(o, &err, &warning);
    ASSERT_TRUE(config) << err;
    EXPECT_EQ(warning, "");
    std::string file = write(conf_ + "/disk.json", ctl_script_config_text(config.get()));

    tuvod_script_ref s = tuvod_script_from_file(file.c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->script_name, "disk usage");
    EXPECT_EQ(s->script_path, o.executable);
    EXPECT_EQ(s->script_authority, "monitor");
    EXPECT_EQ(s->script_timeout, 17);
    EXPECT_TRUE(s->script_concurrent);
    EXPECT_FALSE(s->script_nonblock);
    EXPECT_EQ(s->script_redact_argv, 10);
    ASSERT_NE(s->script_killsigs, nullptr);
    EXPECT_EQ(s->script_killsigs->sig, SIGTERM);
    ASSERT_NE(s->script_killsigs->next, nullptr);
    EXPECT_EQ(s->script_killsigs->next->timeout, 2);
    error_stack errors;
    EXPECT_EQ(validate_script(s.get(), errors.ptr()), 0);

    // Without kill steps the daemon's default escalation applies.
    o.kill.clear();
    config = ctl_script_config(o, &err, &warning);
    write(file, ctl_script_config_text(config.get()));
    s = tuvod_script_from_file(file.c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->script_killsigs, default_killsigs);
}

TEST_F(TuvoctlScripts, ScriptConfigRefusesWhatTheDaemonCouldNotUse) {
    ctl_options_t o;
    o.name = "x";
    o.authority = "a";
    std::string err, warning;
    o.executable = "relative/path";
    EXPECT_FALSE(ctl_script_config(o, &err, &warning));
    EXPECT_NE(err.find("absolute"), std::string::npos) << err;
    o.executable = root_ + "/missing";
    EXPECT_FALSE(ctl_script_config(o, &err, &warning));
    o.executable = root_;
    EXPECT_FALSE(ctl_script_config(o, &err, &warning));

    // Written, but with a warning: the daemon would refuse to run it.
    o.executable = write(root_ + "/plain", "#!/bin/sh\n", 0644);
    EXPECT_TRUE(ctl_script_config(o, &err, &warning));
    EXPECT_NE(warning.find("not executable"), std::string::npos) << warning;
}

TEST_F(TuvoctlScripts, ConfinementOptionsAreWrittenLoadedAndShownByTheCheck) {
    ctl_options_t o;
    o.executable = exe("net");
    o.name = "net";
    o.authority = "ops";
    o.run_as = "nobody:nogroup";
    o.caps_given = true;
    o.caps = {"CAP_NET_ADMIN"};
    o.clean_env = true;
    o.env = {"LANG=C"};
    o.umask = "0027";
    o.secrets_stdin = true;
    std::string err, warning;
    json_ptr config = ctl_script_config(o, &err, &warning);
    ASSERT_TRUE(config) << err;
    EXPECT_EQ(json_dumps_text(json_object_get(config.get(), "runAs")),
              R"({"user": "nobody", "group": "nogroup"})");
    EXPECT_EQ(json_dumps_text(json_object_get(config.get(), "environment")),
              R"({"inherit": false, "set": {"LANG": "C"}})");
    std::string file = write(conf_ + "/net.json", ctl_script_config_text(config.get()));
    tuvod_script_ref s = tuvod_script_from_file(file.c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->script_priv.caps, uint64_t{1} << 12);
    EXPECT_EQ(s->script_priv.umask, 027u);
    EXPECT_TRUE(s->script_priv.secrets_stdin);
    int rc = -1;
    EXPECT_EQ(check(&rc), "net.json: ok: net -> " + o.executable +
                              " (runs as nobody:nogroup, capabilities CAP_NET_ADMIN, environment not "
                              "inherited LANG=, umask 0027, secret arguments on stdin)\n"
                              "1 file, 1 valid, 0 with problems\n");
    EXPECT_EQ(rc, CTL_EXIT_OK);

    // What the daemon would refuse at load is not written.
    o.umask = "9";
    EXPECT_FALSE(ctl_script_config(o, &err, &warning));
    EXPECT_NE(err.find("confinement options"), std::string::npos) << err;

    // What it would refuse at run time is flagged by the check.
    o.umask.clear();
    o.run_as = "no-such-user-here";
    write(conf_ + "/net.json", ctl_script_config_text(ctl_script_config(o, &err, &warning).get()));
    o.run_as = "nobody";
    o.executable = write(root_ + "/private", "#!/bin/sh\n", 0750);
    write(conf_ + "/private.json", ctl_script_config_text(ctl_script_config(o, &err, &warning).get()));
    std::string out = check(&rc);
    EXPECT_NE(out.find("net.json: INVALID: Refusing to run 'net': runAs: unknown user 'no-such-user-here'\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("private.json: INVALID: Refusing '" + o.executable +
                       "' for 'net': user nobody may not read and execute it\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(rc, CTL_EXIT_FAILED);
}

TEST_F(TuvoctlScripts, CheckFlagsEveryFileTheDaemonWouldRefuseOrShadow) {
    std::string good = exe("good");
    configure("a-good.json", good, "good");
    configure("b-same-path.json", good, "shadowed");

    std::string changed = exe("changed");
    configure("c-changed.json", changed, "changed");
    exe("changed", "echo tampered\n");

    std::string noexec = exe("noexec");
    configure("d-noexec.json", noexec, "noexec");
    chmod(noexec.c_str(), 0644);

    configure("e-missing.json", exe("gone"), "gone");
    unlink((root_ + "/gone").c_str());

    write(conf_ + "/f-extra.json",
          R"({"name":"x","path":"/x","digest":"","authority":"a","timeout":1,"isNonBlocking":false,
              "allowConcurrentExecution":false,"redactArguments":[],"killSignals":[],"comment":"no"})");
    write(conf_ + "/g-redact.json",
          R"({"name":"x","path":"/y","digest":"","authority":"a","timeout":1,"isNonBlocking":false,
              "allowConcurrentExecution":false,"redactArguments":[31],"killSignals":[]})");
    write(conf_ + "/h-signal.json",
          R"({"name":"x","path":"/z","digest":"","authority":"a","timeout":1,"isNonBlocking":false,
              "allowConcurrentExecution":false,"redactArguments":[],
              "killSignals":[{"signal":9,"timeout":0}]})");
    // Not read by the daemon, so not checked either.
    write(conf_ + "/ignored.JSON", "not json");
    write(conf_ + "/ignored.json~", "not json");

    int rc;
    std::string out = check(&rc);
    EXPECT_EQ(rc, CTL_EXIT_FAILED);
    EXPECT_NE(out.find("a-good.json: ok: good -> " + good), std::string::npos) << out;
    EXPECT_NE(out.find("b-same-path.json: DUPLICATE"), std::string::npos) << out;
    EXPECT_NE(out.find("c-changed.json: INVALID: Script digest mismatch"), std::string::npos) << out;
    EXPECT_NE(out.find("d-noexec.json: INVALID: '" + noexec + "' for 'noexec' is not executable"),
              std::string::npos) << out;
    EXPECT_NE(out.find("e-missing.json: INVALID: Unable to stat executable"), std::string::npos) << out;
    for (const char *f : {"f-extra.json: INVALID", "g-redact.json: INVALID", "h-signal.json: INVALID"})
        EXPECT_NE(out.find(f), std::string::npos) << f << "\n" << out;
    EXPECT_EQ(out.find("ignored"), std::string::npos) << out;
    EXPECT_NE(out.find("8 files, 1 valid, 7 with problems"), std::string::npos) << out;

    // Quiet output names only the problems.
    out = check(&rc, true);
    EXPECT_EQ(out.find("a-good.json: ok"), std::string::npos) << out;
    EXPECT_NE(out.find("b-same-path.json"), std::string::npos) << out;
}

TEST_F(TuvoctlScripts, CheckPassesACleanDirectoryAndFailsAnEmptyOne) {
    int rc;
    std::string out = check(&rc);
    EXPECT_EQ(rc, CTL_EXIT_FAILED) << out;
    EXPECT_NE(out.find("no *.json"), std::string::npos) << out;

    configure("one.json", exe("one"), "one");
    configure("two.json", exe("two"), "two");
    out = check(&rc);
    EXPECT_EQ(rc, CTL_EXIT_OK) << out;
    EXPECT_NE(out.find("2 files, 2 valid, 0 with problems"), std::string::npos) << out;
    EXPECT_EQ(check(&rc, true), "");

    std::filesystem::remove_all(conf_);
    out = check(&rc);
    EXPECT_EQ(rc, CTL_EXIT_FAILED);
    EXPECT_NE(out.find("cannot be read"), std::string::npos) << out;
}

TEST_F(TuvoctlScripts, LocalAuthorityIsTheOneTheDaemonWouldUse) {
    std::string path = exe("x");
    ctl_options_t o;
    o.executable = path;
    o.name = "x";
    std::string err, warning;
    o.authority = "first";
    write(conf_ + "/a.json", ctl_script_config_text(ctl_script_config(o, &err, &warning).get()));
    o.authority = "second";
    write(conf_ + "/b.json", ctl_script_config_text(ctl_script_config(o, &err, &warning).get()));

    std::string authority;
    ASSERT_EQ(ctl_local_authority(conf_, path, &authority), 0);
    EXPECT_EQ(authority, "first");
    EXPECT_EQ(ctl_local_authority(conf_, path + "-other", &authority), 1) << "no such script";
    EXPECT_EQ(ctl_local_authority(root_ + "/nowhere", path, &authority), -1);
}

} // namespace
