// tuvoctl's command line: where options end and the script's own arguments
// begin, the values that are refused, and the defaults that matter.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "ctl.hpp"

namespace {

struct parsed {
    int rc;
    ctl_options_t opts;
    std::string err;
};

parsed parse(std::vector<std::string> args) {
    parsed p;
    p.rc = ctl_parse_args(args, &p.opts, &p.err);
    return p;
}

TEST(TuvoctlArgs, ScriptArgumentsAreNeverTakenAsOptions) {
    parsed p = parse({"run", "-a", "ops", "-u", "id-1", "--", "/opt/x.sh", "-a", "--json", "--"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.cmd, ctl_cmd_t::run);
    EXPECT_EQ(p.opts.authority, "ops");
    EXPECT_TRUE(p.opts.authority_set);
    EXPECT_EQ(p.opts.uuid, "id-1");
    EXPECT_EQ(p.opts.argv, (std::vector<std::string>{"/opt/x.sh", "-a", "--json", "--"}));
    EXPECT_FALSE(p.opts.json);

    // Without "--" the first operand is the path and ends the options too.
    p = parse({"start", "--json", "/opt/x.sh", "-e", "tcp://elsewhere:1"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.opts.json);
    EXPECT_EQ(p.opts.endpoint, CTL_DEFAULT_ENDPOINT);
    EXPECT_EQ(p.opts.argv, (std::vector<std::string>{"/opt/x.sh", "-e", "tcp://elsewhere:1"}));
}

TEST(TuvoctlArgs, GlobalOptionsBeforeOrAfterTheCommand) {
    parsed p = parse({"-e", "ipc:///tmp/x", "--timeout-reply=7", "list", "--json"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.endpoint, "ipc:///tmp/x");
    EXPECT_EQ(ctl_timeout_ms(p.opts), 7000);
    EXPECT_TRUE(p.opts.json);

    p = parse({"get", "--peek", "u-1", "state", "-t", "3", "output"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.opts.peek);
    EXPECT_EQ(p.opts.target_uuid, "u-1");
    EXPECT_EQ(p.opts.properties, (std::vector<std::string>{"state", "output"}));
    EXPECT_EQ(ctl_timeout_ms(p.opts), 3000);
}

TEST(TuvoctlArgs, ReplyTimeoutDefaultsWaitLongerForScripts) {
    EXPECT_EQ(ctl_timeout_ms(parse({"run", "/x"}).opts), CTL_TIMEOUT_SCRIPT_S * 1000);
    EXPECT_EQ(ctl_timeout_ms(parse({"legacy", "/x"}).opts), CTL_TIMEOUT_SCRIPT_S * 1000);
    EXPECT_EQ(ctl_timeout_ms(parse({"start", "/x"}).opts), CTL_TIMEOUT_QUERY_S * 1000);
    EXPECT_EQ(ctl_timeout_ms(parse({"clear", "u"}).opts), CTL_TIMEOUT_QUERY_S * 1000);
}

TEST(TuvoctlArgs, CommandOperands) {
    parsed p = parse({"list", "--cmd=disk%", "--state", "!RUNNING"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.cmd_pattern, "disk%");
    EXPECT_EQ(p.opts.state_pattern, "!RUNNING");

    p = parse({"clear", "--force", "u-2"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.opts.force);
    EXPECT_EQ(p.opts.target_uuid, "u-2");

    // The gateway splits at blanks again, so joining keeps the meaning.
    p = parse({"legacy", "/opt/x.sh \"a b\"", "c"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.legacy_line, "/opt/x.sh \"a b\" c");

    p = parse({"check-scripts", "-q", "/etc/x"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.opts.quiet);
    EXPECT_EQ(p.opts.scripts_dir, "/etc/x");
    EXPECT_EQ(parse({"check-scripts"}).opts.scripts_dir, CTL_DEFAULT_SCRIPTS_DIR);

    EXPECT_EQ(parse({"check-config"}).opts.daemon_config, "/lumo/conf/tuvod/config.json");
    p = parse({"check-config", "/etc/x.json"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.cmd, ctl_cmd_t::check_config);
    EXPECT_EQ(p.opts.daemon_config, "/etc/x.json");
    EXPECT_FALSE(p.opts.strict);
    p = parse({"check-config", "/etc/x.json", "--strict"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.opts.strict);
}

TEST(TuvoctlArgs, ScriptConfigOptions) {
    parsed p = parse({"script-config", "/opt/x.sh", "--name", "x", "--authority", "ops",
                      "--redact", "1", "3", "--redact=5", "--kill", "TERM:5", "--kill", "9:2",
                      "--timeout", "0", "--concurrent", "--non-blocking"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.executable, "/opt/x.sh");
    EXPECT_EQ(p.opts.name, "x");
    EXPECT_EQ(p.opts.authority, "ops");
    EXPECT_EQ(p.opts.redact, (std::vector<int>{1, 3, 5}));
    ASSERT_EQ(p.opts.kill.size(), 2u);
    EXPECT_EQ(p.opts.kill[0].sig, SIGTERM);
    EXPECT_EQ(p.opts.kill[0].timeout, 5);
    EXPECT_EQ(p.opts.kill[1].sig, SIGKILL);
    EXPECT_EQ(p.opts.script_timeout, 0);
    EXPECT_TRUE(p.opts.concurrent);
    EXPECT_TRUE(p.opts.nonblock);

    // --redact stops taking indexes at the first operand that is not one.
    p = parse({"script-config", "--name", "x", "--authority", "a", "--redact", "2", "/opt/x.sh"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.executable, "/opt/x.sh");
    EXPECT_EQ(p.opts.redact, (std::vector<int>{2}));

    p = parse({"script-config", "/opt/x.sh", "--name", "x", "--authority", "a", "--run-as",
               "nobody:nogroup", "--groups", "adm,4", "--capabilities", "", "--no-new-privileges",
               "--clean-environment", "--env", "A=b=c", "--env", "B=", "--working-directory", "/srv",
               "--umask", "027", "--secrets-on-stdin"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.run_as, "nobody:nogroup");
    EXPECT_EQ(p.opts.run_groups, (std::vector<std::string>{"adm", "4"}));
    EXPECT_TRUE(p.opts.caps_given);
    EXPECT_TRUE(p.opts.caps.empty()) << "an empty list keeps no capability";
    EXPECT_TRUE(p.opts.no_new_privs);
    EXPECT_TRUE(p.opts.clean_env);
    EXPECT_EQ(p.opts.env, (std::vector<std::string>{"A=b=c", "B="}));
    EXPECT_EQ(p.opts.working_dir, "/srv");
    EXPECT_EQ(p.opts.umask, "027");
    EXPECT_TRUE(p.opts.secrets_stdin);
}

TEST(TuvoctlArgs, RefusedCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"--bogus", "list"},
        {"run"},
        {"run", "-a"},
        {"run", "-x", "/p"},
        {"run", "-u", "", "/p"},
        {"-t", "0", "list"},
        {"-t", "5s", "list"},
        {"get"},
        {"list", "extra"},
        {"clear"},
        {"clear", "a", "b"},
        {"legacy"},
        {"check-scripts", "a", "b"},
        {"check-config", "a", "b"},
        {"script-config", "/p", "--name", "x"},
        {"script-config", "--name", "x", "--authority", "a"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--redact", "31"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--redact", "-1"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--kill", "TERM:0"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--kill", "NOPE:5"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--timeout", "-1"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--env", "NOVALUE"},
        {"script-config", "/p", "--name", "x", "--authority", "a", "--run-as"},
    };
    for (const auto &args : bad) {
        parsed p = parse(args);
        std::string joined;
        for (const auto &a : args)
            joined += a + " ";
        EXPECT_EQ(p.rc, -1) << joined;
        EXPECT_FALSE(p.err.empty()) << joined;
    }
}

TEST(TuvoctlArgs, HelpNeedsNoOperands) {
    for (const char *cmd : {"run", "get", "clear", "legacy", "script-config"}) {
        parsed p = parse({cmd, "--help"});
        ASSERT_EQ(p.rc, 0) << cmd << ": " << p.err;
        EXPECT_TRUE(p.opts.help);
        EXPECT_NE(ctl_help_text(p.opts.cmd), ctl_help_text(ctl_cmd_t::none)) << cmd;
    }
    parsed p = parse({"help", "list"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.opts.help);
    EXPECT_EQ(p.opts.cmd, ctl_cmd_t::list);
}

TEST(TuvoctlArgs, SignalNamesAndNumbers) {
    EXPECT_EQ(ctl_signal_number("TERM"), SIGTERM);
    EXPECT_EQ(ctl_signal_number("SIGQUIT"), SIGQUIT);
    EXPECT_EQ(ctl_signal_number("0"), 0);
    EXPECT_EQ(ctl_signal_number(std::to_string(SIGRTMAX)), SIGRTMAX);
    EXPECT_EQ(ctl_signal_number(std::to_string(SIGRTMAX + 1)), -1);
    EXPECT_EQ(ctl_signal_number("term"), -1);
    EXPECT_EQ(ctl_signal_number(""), -1);
}

} // namespace
