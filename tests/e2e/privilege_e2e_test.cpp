// Confined scripts through the real daemon: the user, groups, capabilities,
// no-new-privileges, environment, working directory, umask and secret
// arguments a script actually gets, read by the script itself from
// /proc/self/status and its own environment.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::ScriptSpec;
using e2e::result_of;
using e2e::state_of;
using e2e::str;
using e2e::text_of;

// Prints the capability sets and the no-new-privileges flag of the script.
const char *const show_status = "grep -E '^(Cap(Inh|Prm|Eff|Bnd|Amb)|NoNewPrivs):' /proc/$$/status";

class Privilege : public e2e::DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        // The sandbox is private to root; an unprivileged script must be
        // able to reach its executable.
        chmod(sb_->root.c_str(), 0755);
        chmod(sb_->bin_dir.c_str(), 0755);
    }

    json_ptr exec(Client &c, const std::vector<std::string> &argv) {
        return c.call("execute", e2e::exec_args(argv, false).release());
    }

    static std::string out_of(const json_ptr &r) {
        const char *s = str(json_object_get(result_of(r), "output"), "stdout");
        return s != nullptr ? s : "";
    }

    // The newest entry of the command's own error stack.
    static std::string cmd_error(const json_ptr &r) {
        const char *s = str(json_array_get(json_object_get(result_of(r), "errors"), 0), "errorString");
        return s != nullptr ? s : "";
    }
    static long long cmd_code(const json_ptr &r) {
        json_t *e = json_array_get(json_object_get(result_of(r), "errors"), 0);
        return json_integer_value(json_object_get(e, "errorCode"));
    }

    // The value of one "Name:\tvalue" line of the script's output.
    static std::string field(const std::string &out, const std::string &name) {
        size_t at = out.find(name + ":");
        if (at == std::string::npos)
            return "";
        at = out.find_first_not_of(" \t", at + name.size() + 1);
        return out.substr(at, out.find('\n', at) - at);
    }
};

TEST_F(Privilege, NobodyRunsWithItsIdsAndCannotWriteARootFile) {
    E2E_REQUIRE_ROOT();
    std::string guarded = sb_->root + "/root-only";
    sb_->write(guarded, "original\n", 0644);
    ScriptSpec s{.name = "as-nobody",
                 .body = std::string("echo ids:$(id -u):$(id -g):$(id -G)\n") + show_status +
                         "\nif echo changed 2>/dev/null > " + guarded +
                         "; then echo wrote; else echo denied; fi"};
    s.extra = R"({"runAs": {"user": "nobody", "supplementaryGroups": [100]}})";
    std::string exe = sb_->add_script(s);
    start();
    Client c;
    std::string uuid = e2e::new_uuid();
    json_ptr started = c.call("execute", e2e::exec_args({exe}, true).release(), uuid);
    ASSERT_EQ(state_of(started), "RUNNING") << text_of(started);
    json_ptr r;
    ASSERT_TRUE(e2e::wait_until(
        [&] {
            r = c.call("get", json_pack("{s:[s,s], s:b}", "properties", "state", "output", "peek", 1), uuid);
            return state_of(r) == "COMPLETE";
        },
        20000))
        << text_of(r);
    std::string out = out_of(r);
    EXPECT_NE(out.find("ids:65534:65534:65534 100\n"), std::string::npos) << out;
    EXPECT_NE(out.find("denied\n"), std::string::npos) << out;
    EXPECT_EQ(e2e::read_file(guarded), "original\n");
    EXPECT_EQ(field(out, "CapEff"), "0000000000000000") << out;
    EXPECT_EQ(field(out, "CapPrm"), "0000000000000000") << out;
    EXPECT_EQ(field(out, "NoNewPrivs"), "1") << "implied for a user other than root: " << out;
    // The record says whom the run ran as.
    json_t *ran_as = json_object_get(json_object_get(result_of(r), "output"), "runAs");
    EXPECT_STREQ(str(ran_as, "user"), "nobody") << text_of(r);
    EXPECT_EQ(json_integer_value(json_object_get(ran_as, "uid")), 65534);
    EXPECT_EQ(json_integer_value(json_object_get(ran_as, "gid")), 65534);
    EXPECT_EQ(text_of(json_object_get(ran_as, "groups")), "[100]");
}

TEST_F(Privilege, CapabilitiesKeepExactlyTheNamedOne) {
    E2E_REQUIRE_ROOT();
    const std::string keep = R"("capabilities": ["CAP_NET_BIND_SERVICE"])";
    ScriptSpec user{.name = "user-caps", .body = show_status};
    user.extra = "{" + keep + R"(, "runAs": {"user": "nobody"}})";
    ScriptSpec root{.name = "root-caps", .body = show_status};
    root.extra = "{" + keep + "}";
    ScriptSpec plain{.name = "plain-caps", .body = show_status};
    std::string user_exe = sb_->add_script(user), root_exe = sb_->add_script(root),
                plain_exe = sb_->add_script(plain);
    start();
    Client c;
    const std::string bind = "0000000000000400"; // bit 10 alone
    std::string out = out_of(exec(c, {user_exe}));
    for (const char *set : {"CapEff", "CapPrm", "CapBnd", "CapAmb", "CapInh"})
        EXPECT_EQ(field(out, set), bind) << set << " as nobody:\n" << out;
    out = out_of(exec(c, {root_exe}));
    for (const char *set : {"CapEff", "CapPrm", "CapBnd", "CapInh"})
        EXPECT_EQ(field(out, set), bind) << set << " as root:\n" << out;
    EXPECT_EQ(field(out, "NoNewPrivs"), "0") << "not asked for, and root: " << out;
    // Without the member a script keeps what the daemon has.
    out = out_of(exec(c, {plain_exe}));
    EXPECT_NE(field(out, "CapBnd"), bind) << out;
    EXPECT_EQ(field(out, "CapEff"), field(out, "CapBnd")) << out;
}

// The effective uid a copy of id prints when started by a process that
// switched to nobody, outside the daemon: shows the copy is setuid-capable.
std::string euid_of_helper_as_nobody(const std::string &helper) {
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        if (setgid(65534) == 0 && setuid(65534) == 0)
            execl(helper.c_str(), helper.c_str(), "-u", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[64] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST_F(Privilege, SetuidHelperGivesNoRootToANobodyScript) {
    E2E_REQUIRE_ROOT();
    std::string helper = sb_->bin_dir + "/suid-id";
    std::filesystem::copy_file("/usr/bin/id", helper);
    ASSERT_EQ(chown(helper.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(helper.c_str(), 04755), 0);
    struct statvfs fs;
    ASSERT_EQ(statvfs(helper.c_str(), &fs), 0);
    if ((fs.f_flag & ST_NOSUID) != 0)
        GTEST_SKIP() << "the sandbox is on a nosuid file system";
    ASSERT_EQ(euid_of_helper_as_nobody(helper), "0\n") << "the copy must work as setuid root";

    ScriptSpec s{.name = "calls-helper",
                 .body = helper + " -u\ngrep NoNewPrivs /proc/$$/status"};
    s.extra = R"({"runAs": {"user": "nobody"}})";
    std::string exe = sb_->add_script(s);
    start();
    Client c;
    json_ptr r = exec(c, {exe});
    ASSERT_EQ(state_of(r), "COMPLETE") << text_of(r);
    EXPECT_EQ(out_of(r), "65534\nNoNewPrivs:\t1\n");
}

TEST_F(Privilege, EnvironmentHoldsWhatIsConfigured) {
    E2E_REQUIRE_ROOT();
    // What the shell was started with, not what it adds itself.
    const std::string show_env = "tr '\\0' '\\n' < /proc/$$/environ";
    ScriptSpec clean{.name = "clean-env", .body = show_env};
    clean.extra = R"({"environment": {"inherit": false, "set": {"GREETING": "hello world"}}})";
    ScriptSpec inherit{.name = "inherit-env", .body = show_env};
    inherit.extra = R"({"environment": {"set": {"TUVOD_E2E_MARK": "script", "EXTRA": "1"}}})";
    ScriptSpec plain{.name = "plain-env", .body = show_env};
    std::string clean_exe = sb_->add_script(clean), inherit_exe = sb_->add_script(inherit),
                plain_exe = sb_->add_script(plain);
    setenv("TUVOD_E2E_MARK", "daemon", 1);
    start();
    unsetenv("TUVOD_E2E_MARK");
    Client c;
    EXPECT_EQ(out_of(exec(c, {clean_exe})), "PATH=/usr/sbin:/usr/bin:/sbin:/bin\nGREETING=hello world\n");
    std::string out = out_of(exec(c, {plain_exe}));
    EXPECT_NE(out.find("TUVOD_E2E_MARK=daemon\n"), std::string::npos) << out;
    out = out_of(exec(c, {inherit_exe}));
    EXPECT_EQ(out.find("TUVOD_E2E_MARK=daemon"), std::string::npos) << "set replaces: " << out;
    EXPECT_NE(out.find("TUVOD_E2E_MARK=script\n"), std::string::npos) << out;
    EXPECT_NE(out.find("EXTRA=1\n"), std::string::npos) << out;
}

TEST_F(Privilege, SecretsOnStdinStayOutOfTheCommandLine) {
    E2E_REQUIRE_ROOT();
    ScriptSpec s{.name = "secret-reader",
                 .body = "tr '\\0' ' ' < /proc/$$/cmdline; echo\n"
                         "read -r s; echo \"stdin:$s\"; echo \"args:$#:$*\""};
    s.redact = {2};
    s.extra = R"({"secretArguments": "stdin", "runAs": {"user": "nobody"}})";
    // A script that never reads its input must not hold anything up.
    ScriptSpec deaf{.name = "deaf", .body = "echo done"};
    deaf.redact = {1};
    deaf.extra = R"({"secretArguments": "stdin"})";
    std::string exe = sb_->add_script(s), deaf_exe = sb_->add_script(deaf);
    start();
    Client c;
    json_ptr r = exec(c, {exe, "visible", "hunter2"});
    ASSERT_EQ(state_of(r), "COMPLETE") << text_of(r);
    std::string out = out_of(r);
    std::string cmdline = out.substr(0, out.find('\n'));
    EXPECT_EQ(cmdline.find("hunter2"), std::string::npos) << cmdline;
    EXPECT_NE(cmdline.find("visible"), std::string::npos) << cmdline;
    EXPECT_NE(out.find("stdin:hunter2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("args:1:visible\n"), std::string::npos) << out;
    EXPECT_EQ(text_of(json_object_get(result_of(r), "args")),
              "[\"" + exe + "\",\"visible\",\"********\"]")
        << "the record masks it as before";

    json_ptr quiet = exec(c, {deaf_exe, std::string(100000, 'k')});
    EXPECT_EQ(state_of(quiet), "COMPLETE") << text_of(quiet);
    EXPECT_EQ(out_of(quiet), "done\n");
}

TEST_F(Privilege, UnknownUserRefusesTheRunWithoutRunningAnything) {
    E2E_REQUIRE_ROOT();
    std::string marker = sb_->root + "/ran";
    ScriptSpec s{.name = "ghost", .body = "touch " + marker};
    s.extra = R"({"runAs": {"user": "no-such-user-e2e"}})";
    std::string exe = sb_->add_script(s);
    start();
    EXPECT_TRUE(d_->wait_for_log("runAs: unknown user 'no-such-user-e2e'; its runs are refused"))
        << d_->log();
    Client c;
    json_ptr r = exec(c, {exe});
    EXPECT_EQ(state_of(r), "FAILED") << text_of(r);
    EXPECT_EQ(cmd_code(r), 22);
    EXPECT_NE(cmd_error(r).find("Refusing to run 'ghost': runAs: unknown user 'no-such-user-e2e'"),
              std::string::npos)
        << text_of(r);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(Privilege, UmaskAndWorkingDirectory) {
    E2E_REQUIRE_ROOT();
    std::string work = sb_->root + "/work";
    std::filesystem::create_directory(work);
    chmod(work.c_str(), 0755);
    ScriptSpec plain{.name = "plain-umask", .body = "umask"};
    ScriptSpec set{.name = "set-umask", .body = "umask; pwd; touch made; stat -c %a made"};
    set.extra = R"({"umask": "0027", "workingDirectory": ")" + work + "\"}";
    std::string plain_exe = sb_->add_script(plain), set_exe = sb_->add_script(set);
    start();
    Client c;
    EXPECT_EQ(out_of(exec(c, {plain_exe})), "0022\n") << "not the daemon's 077";
    json_ptr r = exec(c, {set_exe});
    EXPECT_EQ(out_of(r), "0027\n" + work + "\n640\n") << text_of(r);
}

TEST_F(Privilege, RefusalsBeforeAndAfterTheForkNameTheirCause) {
    E2E_REQUIRE_ROOT();
    std::string closed = sb_->root + "/closed", open_dir = sb_->root + "/open";
    std::filesystem::create_directory(closed);
    std::filesystem::create_directory(open_dir);
    chmod(closed.c_str(), 0700);
    chmod(open_dir.c_str(), 0777);
    ScriptSpec shut_out{.name = "shut-out", .body = "echo ran"};
    shut_out.extra = R"({"runAs": {"user": "nobody"}, "workingDirectory": ")" + closed + "\"}";
    ScriptSpec writable{.name = "writable-dir", .body = "echo ran"};
    writable.extra = R"({"workingDirectory": ")" + open_dir + "\"}";
    ScriptSpec private_file{.name = "private-file", .body = "echo ran"};
    private_file.extra = R"({"runAs": {"user": "nobody"}})";
    std::string shut_exe = sb_->add_script(shut_out), writable_exe = sb_->add_script(writable),
                private_exe = sb_->add_script(private_file);
    chmod(private_exe.c_str(), 0750);
    start();
    Client c;
    // Found by the child, as nobody: the step is named.
    json_ptr r = exec(c, {shut_exe});
    EXPECT_EQ(state_of(r), "FAILED") << text_of(r);
    EXPECT_EQ(cmd_code(r), 5);
    EXPECT_EQ(cmd_error(r), "'shut-out' not started: entering the working directory failed: Permission denied");
    EXPECT_EQ(out_of(r), "");
    // Found by the daemon before the fork.
    r = exec(c, {writable_exe});
    EXPECT_EQ(state_of(r), "FAILED") << text_of(r);
    EXPECT_EQ(cmd_code(r), 1);
    EXPECT_NE(cmd_error(r).find("working directory: directory '" + open_dir + "' is writable by group or others"),
              std::string::npos)
        << text_of(r);
    r = exec(c, {private_exe});
    EXPECT_EQ(state_of(r), "INVALID_SCRIPT") << text_of(r);
    EXPECT_EQ(cmd_code(r), 1);
    EXPECT_NE(cmd_error(r).find("user nobody may not read and execute it"), std::string::npos) << text_of(r);
}

} // namespace
