// Hostile input on both protocols. Whatever arrives, the daemon runs only
// the exact configured executable with the arguments exactly as sent, and
// goes on serving; a request it refuses is answered with an error where the
// protocol has a way to answer.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "harness.hpp"

namespace fs = std::filesystem;

namespace {

using e2e::Client;
using e2e::ScriptSpec;
using e2e::errors_of;
using e2e::first_code;
using e2e::first_error;
using e2e::result_of;
using e2e::state_of;
using e2e::str;
using e2e::text_of;

// The request text for an execute whose "args" text is given as is.
std::string raw_execute(const std::string &id, const std::string &args_text) {
    return R"({"requestUUID":")" + id + R"(","authority":"test","op":"execute","args":)" + args_text + "}" +
           std::string(1, '\0');
}

std::string legacy_header(uint32_t length) { return std::string(reinterpret_cast<const char *>(&length), 4); }

class Hostile : public e2e::DaemonTest {
  protected:
    void prepare() override {
        marker_ = sb_->root + "/ran";
        // Records each run and echoes its arguments one per line, bracketed.
        runs_ = sb_->add_script(
            {.name = "runs", .body = "echo x >> " + marker_ + "; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done"});
    }

    int runs() const { return static_cast<int>(e2e::read_file(marker_).size() / 2); }

    // The daemon still answers both protocols and runs what it should.
    void expect_still_serving() {
        int before = runs();
        Client c;
        json_ptr r = c.call("execute", e2e::exec_args({runs_, "ok"}, false).release());
        EXPECT_EQ(state_of(r), "COMPLETE") << text_of(r.get());
        e2e::LegacyAnswer a = e2e::legacy_call(runs_ + " legacy");
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.data, "[legacy]\n");
        EXPECT_EQ(runs(), before + 2);
    }

    std::string marker_, runs_;
};

TEST_F(Hostile, OversizeMessageIsDroppedBeforeAnyWorker) {
    start({"-f", "-d", "4"});
    // 1,500,000 bytes: over the default 1 MiB limit.
    std::string id = e2e::new_uuid();
    std::string big = raw_execute(id, R"({"argv":[")" + runs_ + R"(",")" + std::string(1500000 - 200, 'a') +
                                          R"("],"asynchronous":false})");
    big.resize(1500000, ' ');
    big.back() = '\0';
    Client c;
    ASSERT_TRUE(c.send_raw(big));
    EXPECT_FALSE(c.recv_raw(3000).has_value());
    EXPECT_EQ(runs(), 0);
    expect_still_serving();
    // The router logs every message it receives; this one never arrived.
    EXPECT_NE(d_->log().find("Received request with "), std::string::npos);
    EXPECT_EQ(d_->log().find("Received request with 1500000"), std::string::npos);
    EXPECT_EQ(d_->log().find(id), std::string::npos);
}

TEST_F(Hostile, DeeplyNestedJson) {
    start();
    Client c;
    // Deeper than the parser goes: not JSON to the daemon, so no answer.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string id = e2e::new_uuid();
    ASSERT_TRUE(c.send_raw(raw_execute(id, R"({"argv":[")" + runs_ + R"(",)" + deep + R"(],"asynchronous":false})")));
    EXPECT_FALSE(c.recv_raw(2000).has_value());

    // Nested within what the parser accepts: refused as malformed.
    Client c2;
    std::string nested = std::string(1000, '[') + std::string(1000, ']');
    ASSERT_TRUE(c2.send_raw(raw_execute(id, R"({"argv":[")" + runs_ + R"(",)" + nested + R"(],"asynchronous":false})")));
    auto reply = c2.recv_raw(10000);
    ASSERT_TRUE(reply.has_value());
    json_error_t err;
    json_ptr r(json_loads(reply->c_str(), 0, &err));
    EXPECT_EQ(first_error(r), "Malformed request: 'args[1]' should be a string");
    EXPECT_EQ(first_code(r), 22);
    // The same depth as an extra envelope member.
    json_t *extra = json_loads(nested.c_str(), 0, &err);
    ASSERT_NE(extra, nullptr);
    json_ptr req(json_pack("{s:s, s:s, s:s, s:o, s:o}", "requestUUID", id.c_str(), "authority", "test", "op",
                           "execute", "args", e2e::exec_args({runs_}, false).release(), "extra", extra));
    r = c2.request(req.get());
    EXPECT_EQ(first_error(r).rfind("Malformed request: ", 0), 0u) << text_of(r.get());
    EXPECT_EQ(runs(), 0);
    expect_still_serving();
}

TEST_F(Hostile, HundredThousandArgumentsArriveWholeOrNotAtAll) {
    std::string counter = sb_->add_script({.name = "count", .body = "echo x >> " + marker_ + "; echo $#"});
    start({"-f", "-m", "-1"});
    Client c("tcp://127.0.0.1:5557", 60000);
    // Within the system's limit for an argument list: every one arrives.
    int before = runs();
    std::vector<std::string> argv(100001, "a");
    argv[0] = counter;
    json_ptr r = c.call("execute", e2e::exec_args(argv, false).release());
    ASSERT_TRUE(r);
    EXPECT_EQ(state_of(r), "COMPLETE");
    EXPECT_STREQ(str(json_object_get(result_of(r), "output"), "stdout"), "100000\n");
    EXPECT_EQ(json_array_size(json_object_get(result_of(r), "args")), 100001u);

    // Beyond it (100,000 arguments of 40 bytes): the program cannot be
    // started, which must not pass for a run that succeeded.
    argv.assign(100001, std::string(40, 'b'));
    argv[0] = counter;
    r = c.call("execute", e2e::exec_args(argv, false).release());
    ASSERT_TRUE(r);
    json_t *out = json_object_get(result_of(r), "output");
    std::printf("[ FIGURES  ] 100,000 arguments of 40 bytes: state %s, exit status %s, stdout '%s'\n",
                state_of(r).c_str(), text_of(json_object_get(out, "exitStatus")).c_str(),
                str(out, "stdout") != nullptr ? str(out, "stdout") : "");
    EXPECT_FALSE(state_of(r) == "COMPLETE" && json_integer_value(json_object_get(out, "exitStatus")) == 0);
    EXPECT_EQ(runs(), before + 1);
    expect_still_serving();
}

TEST_F(Hostile, InvalidUtf8ArgumentsRunNothing) {
    start();
    Client c;
    // Raw bytes that are not UTF-8, and an escape of half a surrogate pair:
    // neither is JSON text, so neither gets an answer.
    for (const std::string &arg : {std::string("\xff\xfe"), std::string("caf\xe9"), std::string("\\udc80")}) {
        ASSERT_TRUE(c.send_raw(raw_execute(e2e::new_uuid(), R"({"argv":[")" + runs_ + R"(",")" + arg +
                                                                R"("],"asynchronous":false})")));
        EXPECT_FALSE(c.recv_raw(1500).has_value());
    }
    // The legacy gateway has no JSON text to build from such a command line.
    unique_fd fd = e2e::legacy_connect();
    ASSERT_TRUE(fd);
    std::string line = runs_ + " \xff\xfe";
    ASSERT_TRUE(e2e::legacy_send(fd.get(), legacy_header(static_cast<uint32_t>(line.size())) + line));
    e2e::LegacyAnswer a = e2e::legacy_read(fd.get(), 10000);
    EXPECT_NE(a.status, 0);
    EXPECT_EQ(runs(), 0);
    expect_still_serving();
}

TEST_F(Hostile, OnlyTheExactConfiguredPathRuns) {
    fs::create_symlink(runs_, sb_->root + "/link");
    fs::create_directory_symlink(sb_->bin_dir, sb_->root + "/bin-link");
    start();
    Client c;
    std::string bin = sb_->bin_dir;
    const std::string variants[] = {
        bin + "/../bin/runs", bin + "/./runs", bin + "//runs", runs_ + "/", runs_ + " ", runs_ + "\n",
        sb_->root + "/link", sb_->root + "/bin-link/runs", "runs", "bin/runs",
    };
    for (const auto &v : variants) {
        SCOPED_TRACE(v);
        json_ptr r = c.call("execute", e2e::exec_args({v}, false).release());
        EXPECT_EQ(state_of(r), "INVALID_CMD");
        EXPECT_EQ(first_error(r), "Invalid command '" + v + "'");
        EXPECT_EQ(first_code(r), 22);
        if (v.find_first_of(" \n") == std::string::npos) {
            EXPECT_EQ(e2e::legacy_call(v + " arg").status, 102);
        }
    }
    EXPECT_EQ(runs(), 0);
    expect_still_serving();
}

TEST_F(Hostile, ShellMetacharactersArePassedLiterally) {
    start();
    std::string planted = sb_->root + "/planted";
    const std::vector<std::string> args = {
        "; touch " + planted, "$(touch " + planted + ")", "`touch " + planted + "`", "| touch " + planted,
        "&& touch " + planted, "> " + planted, "*", "$HOME", "'\"", "\\", "a\nb", "", "-e", "--", "%s%n",
    };
    std::vector<std::string> argv = {runs_};
    argv.insert(argv.end(), args.begin(), args.end());
    Client c;
    json_ptr r = c.call("execute", e2e::exec_args(argv, false).release());
    std::string expected;
    for (const auto &a : args)
        expected += "[" + a + "]\n";
    EXPECT_EQ(state_of(r), "COMPLETE");
    EXPECT_STREQ(str(json_object_get(result_of(r), "output"), "stdout"), expected.c_str());

    // The legacy command line splits at blanks only.
    e2e::LegacyAnswer a = e2e::legacy_call(runs_ + " $(touch " + planted + ") ;rm;* `id`|x");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, "[$(touch]\n[" + planted + ")]\n[;rm;*]\n[`id`|x]\n");
    EXPECT_FALSE(fs::exists(planted));
    EXPECT_EQ(runs(), 2);
}

TEST_F(Hostile, TenMegabyteRequestId) {
    start({"-f", "-m", "-1"});
    Client c("tcp://127.0.0.1:5557", 60000);
    std::string id(10 * 1024 * 1024, 'i');
    json_ptr r = c.call("execute", e2e::exec_args({runs_, "big-id"}, false).release(), id);
    ASSERT_TRUE(r) << "no answer";
    std::printf("[ FIGURES  ] execute with a 10 MiB request id: state %s, %zu errors%s%s\n", state_of(r).c_str(),
                json_array_size(errors_of(r)), json_array_size(errors_of(r)) ? ": " : "",
                first_error(r).substr(0, 200).c_str());
    // Whatever the outcome, it is answered under the same id and leaves no record.
    const char *echoed = str(r.get(), "requestUUID");
    EXPECT_TRUE(echoed != nullptr && echoed == id);
    EXPECT_LE(runs(), 1);
    EXPECT_EQ(json_object_size(result_of(c.call("list", json_object()))), 0u);
    expect_still_serving();
}

TEST_F(Hostile, LegacyHeadersThatPromiseMoreThanIsSent) {
    start();
    // The text never completes, then the client goes away.
    {
        unique_fd fd = e2e::legacy_connect();
        ASSERT_TRUE(fd);
        std::string line = runs_ + " short";
        ASSERT_TRUE(e2e::legacy_send(fd.get(), legacy_header(static_cast<uint32_t>(line.size() + 100)) + line));
    }
    // The text stalls with the connection open: dropped after the read wait,
    // while the JSON side keeps answering.
    unique_fd stalled = e2e::legacy_connect();
    ASSERT_TRUE(stalled);
    ASSERT_TRUE(e2e::legacy_send(stalled.get(), legacy_header(1000) + runs_));
    Client c;
    EXPECT_EQ(state_of(c.call("execute", e2e::exec_args({runs_}, false).release())), "COMPLETE");
    e2e::LegacyAnswer dropped = e2e::legacy_read(stalled.get(), 10000);
    EXPECT_EQ(dropped.status, -1) << "an unfinished request is not answered";
    // Half a header, then a stall.
    unique_fd half = e2e::legacy_connect();
    ASSERT_TRUE(e2e::legacy_send(half.get(), std::string("\x10\x00", 2)));
    EXPECT_EQ(e2e::legacy_read(half.get(), 10000).status, -1);
    // Lengths out of range are answered as invalid requests.
    for (uint32_t length : {0u, 16385u, 0xffffffffu}) {
        unique_fd fd = e2e::legacy_connect();
        ASSERT_TRUE(e2e::legacy_send(fd.get(), legacy_header(length) + runs_));
        e2e::LegacyAnswer a = e2e::legacy_read(fd.get(), 10000);
        EXPECT_EQ(a.status, 103) << length;
        EXPECT_EQ(a.length, 0u);
    }
    EXPECT_EQ(runs(), 1);
    expect_still_serving();
}

} // namespace
