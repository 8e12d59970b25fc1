// The confinement members of a script configuration: reading them, every
// malformed form, resolving "runAs", and secret arguments moved to stdin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "confine.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"
#include "privilege.hpp"
#include "scripts.hpp"

namespace {

class PrivilegeTest : public ::testing::Test {
  protected:
    // A valid configuration file with the given members (JSON text) added.
    std::string write_conf(const std::string &file, const std::string &members) {
        std::string path = sandbox_.path(file);
        std::ofstream(path, std::ios::trunc)
            << R"({"name": "s", "path": "/bin/s", "digest": "", "authority": "a", "timeout": 5,
                  "isNonBlocking": false, "allowConcurrentExecution": true,
                  "redactArguments": [], "killSignals": [])"
            << (members.empty() ? "" : ", ") << members << "}";
        return path;
    }

    bool log_has(const std::string &text) const {
        return sandbox_.raw().find(text) != std::string::npos;
    }

    log_sandbox sandbox_;
};

TEST_F(PrivilegeTest, EveryMemberIsReadAndAbsentOnesKeepTodaysRun) {
    info_level_t level = get_info_level();
    set_info_level(INFO_DEBUG);
    global_debug_mask = DEBUG_GENERAL;
    tuvod_script_ref plain = tuvod_script_from_file(write_conf("plain.json", "").c_str());
    ASSERT_TRUE(plain);
    const tuvod_privilege_t &d = plain->script_priv;
    EXPECT_FALSE(d.run_as);
    EXPECT_FALSE(d.caps_given);
    EXPECT_FALSE(d.no_new_privs);
    EXPECT_TRUE(d.env_inherit);
    EXPECT_TRUE(d.working_dir.empty());
    EXPECT_EQ(d.umask, 022u);
    EXPECT_FALSE(d.secrets_stdin);
    EXPECT_EQ(privilege_summary(d), "");

    tuvod_script_ref full = tuvod_script_from_file(
        write_conf("full.json", R"("runAs": {"user": "nobody", "group": 65534, "supplementaryGroups": ["nogroup", 4]},
            "capabilities": ["CAP_NET_ADMIN", "CAP_NET_BIND_SERVICE"], "noNewPrivileges": true,
            "environment": {"inherit": false, "set": {"LANG": "C", "_X1": "a=b"}},
            "workingDirectory": "/var/tmp", "umask": "0027", "secretArguments": "stdin")")
            .c_str());
    ASSERT_TRUE(full);
    const tuvod_privilege_t &p = full->script_priv;
    EXPECT_TRUE(p.run_as);
    EXPECT_EQ(p.user, "nobody");
    EXPECT_EQ(p.group, "65534");
    EXPECT_EQ(p.supplementary, (std::vector<std::string>{"nogroup", "4"}));
    EXPECT_TRUE(p.caps_given);
    EXPECT_EQ(p.caps, (uint64_t{1} << 12) | (uint64_t{1} << 10));
    EXPECT_TRUE(p.no_new_privs);
    EXPECT_FALSE(p.env_inherit);
    ASSERT_EQ(p.env_set.size(), 2u);
    EXPECT_EQ(p.env_set[1], (std::pair<std::string, std::string>{"_X1", "a=b"}));
    EXPECT_EQ(p.working_dir, "/var/tmp");
    EXPECT_EQ(p.umask, 027u);
    EXPECT_TRUE(p.secrets_stdin);
    // The load's debug line says how the script is confined.
    EXPECT_TRUE(log_has("Loaded script config for s (/bin/s)")) << sandbox_.raw();
    EXPECT_TRUE(log_has("runs as nobody:65534 (groups nogroup,4), capabilities CAP_NET_BIND_SERVICE "
                        "CAP_NET_ADMIN, no new privileges, environment not inherited LANG= _X1=, "
                        "in /var/tmp, umask 0027, secret arguments on stdin"))
        << sandbox_.raw();
    // What the tool prints reads back the same.
    json_ptr members = privilege_members_json(p);
    tuvod_privilege_t again;
    ASSERT_TRUE(take_privilege_members(members.get(), "again", &again));
    EXPECT_EQ(privilege_summary(again), privilege_summary(p));
    EXPECT_EQ(json_object_size(members.get()), 0u) << "every member taken";
    global_debug_mask = 0;
    set_info_level(level);
}

TEST_F(PrivilegeTest, EveryMalformedFormRejectsTheFile) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("runAs": "nobody")", "Malformed script in"},
        {R"("runAs": {})", "Malformed script in"},
        {R"("runAs": {"user": "nobody", "shell": "/bin/sh"})", "Malformed script in"},
        {R"("runAs": {"user": ""})", "runAs: user must be a name or a uid"},
        {R"("runAs": {"user": -1})", "runAs: user must be a name or a uid"},
        {R"("runAs": {"user": 4294967295})", "runAs: user must be a name or a uid"},
        {R"("runAs": {"user": "a:b"})", "runAs: user must be a name or a uid"},
        {R"("runAs": {"user": true})", "runAs: user must be a name or a uid"},
        {R"("runAs": {"user": "nobody", "group": 1.5})", "runAs: group must be a name or a gid"},
        {R"("runAs": {"user": "nobody", "supplementaryGroups": "adm"})", "supplementaryGroups must be a list"},
        {R"("runAs": {"user": "nobody", "supplementaryGroups": ["adm", null]})", "supplementaryGroups[1] must be"},
        {R"("capabilities": "CAP_NET_ADMIN")", "capabilities must be a list"},
        {R"("capabilities": ["CAP_NET_ADMIN", "cap_net_raw"])", "capabilities[1] is not a capability name"},
        {R"("capabilities": ["NET_ADMIN"])", "capabilities[0] is not a capability name"},
        {R"("capabilities": [12])", "capabilities[0] is not a capability name"},
        {R"("noNewPrivileges": 1)", "noNewPrivileges must be true or false"},
        {R"("environment": {"inherit": "no"})", "Malformed script in"},
        {R"("environment": {"clear": true})", "Malformed script in"},
        {R"("environment": {"set": ["A=1"]})", "environment: set must be an object"},
        {R"("environment": {"set": {"1A": "x"}})", "environment: '1A' is not a variable name"},
        {R"("environment": {"set": {"A=B": "x"}})", "environment: 'A=B' is not a variable name"},
        {R"("environment": {"set": {"A": 1}})", "environment: the value of A must be a string"},
        {R"("workingDirectory": "tmp")", "workingDirectory must be an absolute path"},
        {R"("workingDirectory": "")", "workingDirectory must be an absolute path"},
        {R"("workingDirectory": "/var/../etc")", "workingDirectory must not hold"},
        {R"("workingDirectory": "/var/./tmp")", "workingDirectory must not hold"},
        {R"("umask": 18)", "umask must be octal digits in a string"},
        {R"("umask": "0028")", "umask must be octal digits in a string"},
        {R"("umask": "01777")", "umask must be octal digits in a string"},
        {R"("umask": "")", "umask must be octal digits in a string"},
        {R"("umask": "00022")", "umask must be octal digits in a string"},
        {R"("secretArguments": "env")", "secretArguments must be \"argv\" or \"stdin\""},
        {R"("secretArguments": true)", "secretArguments must be \"argv\" or \"stdin\""},
    };
    std::ofstream(sandbox_.path("relative.json"))
        << R"({"name": "s", "path": "bin/s", "digest": "", "authority": "a", "timeout": 5,
              "isNonBlocking": false, "allowConcurrentExecution": true, "redactArguments": [],
              "killSignals": [], "workingDirectory": "/tmp"})";
    EXPECT_FALSE(tuvod_script_from_file(sandbox_.path("relative.json").c_str()));
    EXPECT_TRUE(log_has("a workingDirectory needs an absolute path"));
    for (size_t i = 0; i < cases.size(); i++) {
        std::string path = write_conf("bad" + std::to_string(i) + ".json", cases[i].first);
        EXPECT_FALSE(tuvod_script_from_file(path.c_str())) << cases[i].first;
        EXPECT_TRUE(log_has("Malformed script in " + path)) << cases[i].first;
        EXPECT_TRUE(log_has(cases[i].second)) << cases[i].first;
    }
}

TEST_F(PrivilegeTest, RunAsResolvesNamesAndIdsAndNamesWhatIsUnknown) {
    auto resolve = [](const std::string &user, const std::string &group,
                      std::vector<std::string> groups, run_identity_t *id, std::string *why) {
        tuvod_privilege_t p;
        p.run_as = true;
        p.user = user;
        p.group = group;
        p.supplementary = std::move(groups);
        return resolve_run_identity(p, id, why);
    };
    run_identity_t id;
    std::string why;
    ASSERT_EQ(resolve("root", "", {}, &id, &why), 0) << why;
    EXPECT_TRUE(id.resolved);
    EXPECT_EQ(id.uid, 0u);
    EXPECT_EQ(id.gid, 0u);
    EXPECT_EQ(id.user, "root");
    ASSERT_EQ(resolve("0", "", {"0", "root"}, &id, &why), 0) << why;
    EXPECT_EQ(id.user, "root");
    EXPECT_EQ(id.groups, (std::vector<gid_t>{0, 0}));
    // An id without an account stands for itself once it has a group.
    ASSERT_EQ(resolve("4000000000", "4000000001", {"4000000002"}, &id, &why), 0) << why;
    EXPECT_EQ(id.uid, 4000000000u);
    EXPECT_EQ(id.gid, 4000000001u);
    EXPECT_EQ(id.user, "4000000000");
    EXPECT_EQ(resolve("4000000000", "", {}, &id, &why), -1);
    EXPECT_EQ(why, "uid 4000000000 has no account, so runAs needs a group");
    EXPECT_EQ(resolve("no-such-user-here", "", {}, &id, &why), -1);
    EXPECT_EQ(why, "unknown user 'no-such-user-here'");
    EXPECT_EQ(resolve("root", "no-such-group-here", {}, &id, &why), -1);
    EXPECT_EQ(why, "unknown group 'no-such-group-here'");
    EXPECT_EQ(resolve("root", "", {"root", "no-such-group-here"}, &id, &why), -1);
    EXPECT_EQ(why, "unknown group 'no-such-group-here'");
    json_ptr shown = run_identity_json(id);
    EXPECT_NE(shown, nullptr);
}

// Reads what the pipe holds up to end of file.
std::string drain(int fd) {
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        all.append(buf, static_cast<size_t>(n));
    return all;
}

TEST_F(PrivilegeTest, SecretsOnStdinLeaveArgvAndFillThePipe) {
    tuvod_script_t script;
    script.script_name = "s";
    script.script_redact_argv = (1 << 0) | (1 << 2) | (1 << 4);
    const char *argv[] = {"/bin/s", "user", "pass word", "x", "token", nullptr};
    std::vector<const char *> child;
    unique_fd in;
    error_stack errors;
    // "argv" (the default): nothing changes.
    ASSERT_EQ(prepare_secret_stdin(&script, argv, &child, &in, errors.ptr()), 0);
    EXPECT_TRUE(child.empty());
    EXPECT_FALSE(in);

    script.script_priv.secrets_stdin = true;
    ASSERT_EQ(prepare_secret_stdin(&script, argv, &child, &in, errors.ptr()), 0);
    // argv[0] is the path the client named: never moved.
    ASSERT_EQ(child.size(), 4u);
    EXPECT_STREQ(child[0], "/bin/s");
    EXPECT_STREQ(child[1], "user");
    EXPECT_STREQ(child[2], "x");
    EXPECT_EQ(child[3], nullptr);
    ASSERT_TRUE(in);
    EXPECT_EQ(drain(in.get()), "pass word\ntoken\n");

    const char *broken[] = {"/bin/s", "user", "two\nlines", nullptr};
    child.clear();
    EXPECT_EQ(prepare_secret_stdin(&script, broken, &child, &in, errors.ptr()), -1);
    EXPECT_NE(std::string(errors.head()->error_string).find("secret argument 2 holds a line break"),
              std::string::npos);
    EXPECT_EQ(errors.head()->error_code, TUVOD_EINVAL);

    // Far beyond a default pipe: grown to hold it, up to the bound.
    std::string big(200000, 's'), huge(size_t{1} << 21, 'h');
    const char *large[] = {"/bin/s", "u", big.c_str(), nullptr};
    child.clear();
    ASSERT_EQ(prepare_secret_stdin(&script, large, &child, &in, errors.ptr()), 0);
    EXPECT_EQ(drain(in.get()).size(), big.size() + 1);
    const char *too_large[] = {"/bin/s", "u", huge.c_str(), nullptr};
    child.clear();
    EXPECT_EQ(prepare_secret_stdin(&script, too_large, &child, &in, errors.ptr()), -1);
    EXPECT_NE(std::string(errors.head()->error_string).find("do not fit its input pipe"),
              std::string::npos);
}

} // namespace
