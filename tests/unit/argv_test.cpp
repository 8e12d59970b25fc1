// Request arguments: the argument vector, its masked JSON form and the
// bounded description used in log messages.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "argv.hpp"
#include "handles.hpp"
#include "log_sandbox.hpp"
#include "utils.hpp"

namespace {

json_ptr strings(std::initializer_list<std::string> items) {
    json_ptr arr(json_array());
    for (const std::string &s : items)
        json_array_append_new(arr.get(), json_string(s.c_str()));
    return arr;
}

json_ptr props_with(json_ptr argv) {
    return json_ptr(json_pack("{s:o}", "argv", argv.release()));
}

std::string describe(json_t *props, int redact, size_t bufsz = 4096) {
    std::string buf(bufsz, '\x7f');
    return cmd_desc_for_exec_req(props, redact, buf.data(), bufsz);
}

} // namespace

TEST(Argv, EmptyArrayGivesEmptyForms) {
    json_ptr empty(json_array());
    argv_ptr argv(argv_from_json_array(empty.get()));
    ASSERT_TRUE(argv);
    EXPECT_EQ(argv.get()[0], nullptr);
    json_ptr shown(redacted_argv_json(argv.get(), -1));
    ASSERT_TRUE(shown);
    EXPECT_EQ(json_array_size(shown.get()), 0u);
    json_ptr props = props_with(std::move(empty));
    EXPECT_EQ(describe(props.get(), 0), "");
}

TEST(Argv, VectorCopiesStringsAndRefusesOtherTypes) {
    json_ptr arr = strings({"/opt/s", "a b", ""});
    argv_ptr argv(argv_from_json_array(arr.get()));
    ASSERT_TRUE(argv);
    EXPECT_STREQ(argv.get()[0], "/opt/s");
    EXPECT_STREQ(argv.get()[1], "a b");
    EXPECT_STREQ(argv.get()[2], "");
    EXPECT_EQ(argv.get()[3], nullptr);
    EXPECT_NE(argv.get()[0], json_string_value(json_array_get(arr.get(), 0)));

    log_sandbox log;
    json_array_append_new(arr.get(), json_integer(7));
    EXPECT_EQ(argv_from_json_array(arr.get()), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Invalid argument type"});
}

TEST(Argv, MaskHidesChosenArguments) {
    json_ptr arr = strings({"/opt/s", "user", "secret"});
    argv_ptr argv(argv_from_json_array(arr.get()));
    json_ptr props = props_with(json_ptr(json_incref(arr.get())));

    json_ptr cmd_hidden(redacted_argv_json(argv.get(), 1));
    json_ptr want1 = strings({"********", "user", "secret"});
    EXPECT_TRUE(json_equal(cmd_hidden.get(), want1.get()));
    EXPECT_EQ(describe(props.get(), 1), "********usersecret");

    json_ptr third_hidden(redacted_argv_json(argv.get(), 4));
    json_ptr want4 = strings({"/opt/s", "user", "********"});
    EXPECT_TRUE(json_equal(third_hidden.get(), want4.get()));
    EXPECT_EQ(describe(props.get(), 4), "/opt/suser********");
}

// The mask has 32 bits: index 31 is its sign bit, and later indexes are
// outside it and shown, rather than wrapping round onto low bits.
TEST(Argv, ArgumentsBeyondTheMaskAreShown) {
    json_ptr arr(json_array());
    for (int i = 0; i < 34; i++)
        json_array_append_new(arr.get(), json_string(std::to_string(i).c_str()));
    argv_ptr argv(argv_from_json_array(arr.get()));
    json_ptr all(redacted_argv_json(argv.get(), -1));
    ASSERT_EQ(json_array_size(all.get()), 34u);
    for (int i = 0; i < 32; i++)
        EXPECT_STREQ(json_string_value(json_array_get(all.get(), i)), "********") << i;
    EXPECT_STREQ(json_string_value(json_array_get(all.get(), 32)), "32");
    EXPECT_STREQ(json_string_value(json_array_get(all.get(), 33)), "33");

    json_ptr sign(redacted_argv_json(argv.get(), INT_MIN));
    EXPECT_STREQ(json_string_value(json_array_get(sign.get(), 31)), "********");
    EXPECT_STREQ(json_string_value(json_array_get(sign.get(), 0)), "0");
    EXPECT_STREQ(json_string_value(json_array_get(sign.get(), 32)), "32");

    json_ptr props = props_with(json_ptr(json_incref(arr.get())));
    std::string desc = describe(props.get(), 1);
    EXPECT_EQ(desc.substr(0, 9), "********1");
    EXPECT_EQ(desc.substr(desc.size() - 4), "3233");
}

TEST(Argv, DescriptionIsBoundedByTheBuffer) {
    log_sandbox log;
    std::string chunk(1000, 'x');
    json_ptr props = props_with(strings({"/opt/long", chunk, chunk, chunk, chunk, chunk}));
    std::string full = "/opt/long" + chunk + chunk + chunk + chunk + chunk;

    std::string desc = describe(props.get(), 0);
    ASSERT_EQ(desc.size(), 4095u);
    EXPECT_EQ(desc.substr(0, 4092), full.substr(0, 4092));
    EXPECT_EQ(desc.substr(4092), "...");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Truncated command description for /opt/long (arg 5)"});

    // A text that fills the buffer exactly is not cut.
    json_ptr exact = props_with(strings({"/opt/e", std::string(4095 - 6, 'y')}));
    EXPECT_EQ(describe(exact.get(), 0).size(), 4095u);
    EXPECT_EQ(describe(exact.get(), 0).substr(4092), "yyy");

    // Too small for anything but the marker: constant text, buffer untouched.
    char tiny[3] = {'a', 'b', 'c'};
    const char *got = cmd_desc_for_exec_req(props.get(), 0, tiny, sizeof tiny);
    EXPECT_STREQ(got, "...");
    EXPECT_NE(got, tiny);
    EXPECT_EQ(std::memcmp(tiny, "abc", 3), 0);

    char four[4];
    EXPECT_STREQ(cmd_desc_for_exec_req(props.get(), 0, four, sizeof four), "...");

    // No command: the empty description.
    json_ptr no_cmd(json_pack("{s:[i]}", "argv", 1));
    EXPECT_EQ(describe(no_cmd.get(), 0), "");
}

namespace {

// A secret is masked wherever it appears in a process's argument, also
// inside a longer one; empty secrets mask nothing.
TEST(Argv, SecretsAreMaskedInsideOtherText) {
    const char *argv[] = {"/bin/s", "pw1", "", "x", nullptr};
    std::vector<std::string> secrets = secret_args(argv, (1 << 1) | (1 << 2));
    ASSERT_EQ(secrets, std::vector<std::string>{"pw1"});
    EXPECT_EQ(mask_secrets("pw1", secrets), "********");
    EXPECT_EQ(mask_secrets("--pass=pw1;pw1", secrets), "--pass=********;********");
    EXPECT_EQ(mask_secrets("pw", secrets), "pw");
    EXPECT_EQ(mask_secrets("**", {"*"}), "****************");
}

// Traced requests never show the authority, and show arguments masked by
// the script's mask, or all but the command when the script is unknown.
TEST(Argv, TracedRequestsHideTheAuthorityAndSecrets) {
    json_ptr req(json_pack("{s:s, s:s, s:{s:[s,s,s], s:b}}", "requestUUID", "r", "authority",
                           "top-secret", "args", "argv", "/bin/s", "a", "b", "asynchronous", 0));
    json_ptr masked(request_for_trace(req.get(), 1 << 2));
    cstr_ptr text(json_dumps(masked.get(), JSON_COMPACT | JSON_SORT_KEYS));
    EXPECT_STREQ(text.get(), R"({"args":{"argv":["/bin/s","a","********"],"asynchronous":false},)"
                             R"("authority":"********","requestUUID":"r"})");
    json_ptr unknown(request_for_trace(json_object_get(req.get(), "args"), -1));
    text.reset(json_dumps(unknown.get(), JSON_COMPACT | JSON_SORT_KEYS));
    EXPECT_STREQ(text.get(), R"({"argv":["/bin/s","********","********"],"asynchronous":false})");
    // The request itself is left as it was.
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "authority")), "top-secret");
}

} // namespace
