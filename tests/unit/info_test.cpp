// Log output: level and mask filtering, repeat suppression, the message size
// limit, the fall-back to standard error and the fatal critical level.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "handles.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"

using lines_t = std::vector<std::string>;

TEST(InfoLogDeathTest, CriticalMessageEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Written even at the lowest level, then exit status 1.
    EXPECT_EXIT(
        {
            set_info_level(INFO_CRITICAL);
            print_info(INFO_CRITICAL, "cannot go on %d\n", 3);
        },
        testing::ExitedWithCode(1), "cannot go on 3");
    EXPECT_EXIT(
        {
            set_abort_on_error(true);
            print_info(INFO_CRITICAL, "dump core here\n");
        },
        testing::KilledBySignal(SIGABRT), "dump core here");
}

TEST(InfoLog, LevelAndMaskFiltering) {
    log_sandbox log;
    print_info(INFO_INFO, "hidden info\n");
    print_info(INFO_WARN, "shown warn\n");
    PRINT_INFO(INFO_WARN, "plain form %d\n", 1);
    print_debug(0xff, DEBUG_GENERAL, "hidden debug at warn\n");
    set_info_level(INFO_INFO);
    print_debug(DEBUG_GENERAL, DEBUG_GENERAL, "hidden debug at info\n");
    set_info_level(INFO_DEBUG);
    print_debug(DEBUG_ROUTER, DEBUG_GENERAL, "hidden debug, bit clear\n");
    print_debug(DEBUG_GENERAL | DEBUG_ROUTER, DEBUG_ROUTER, "shown debug\n");
    global_debug_mask = DEBUG_DB;
    PRINT_INFO(INFO_ERROR, "positioned %d\n", 7);
    PRINT_DEBUG(DEBUG_DB, "debug %s\n", "positioned");
    PRINT_DEBUG(DEBUG_LEGACY, "hidden, other bit\n");

    lines_t got = log.lines();
    ASSERT_EQ(got.size(), 5u) << log.raw();
    EXPECT_EQ(got[0], "shown warn");
    EXPECT_EQ(got[1], "plain form 1");
    EXPECT_EQ(got[2], "shown debug");
    EXPECT_TRUE(
        has_number_between(got[3], "[INFO: info_test.cpp at line ", " in TestBody()] positioned 7"))
        << got[3];
    EXPECT_TRUE(has_number_between(got[4], "[DEBUG: info_test.cpp at line ",
                                   " in TestBody()] debug positioned"))
        << got[4];
}

TEST(InfoLog, RepeatedMessagesAreCountedOnce) {
    log_sandbox log;
    for (int i = 0; i < 3; i++)
        print_info(INFO_WARN, "same %s\n", "text");
    print_info(INFO_ERROR, "different\n");
    // A run that nothing follows is never reported.
    print_info(INFO_ERROR, "different\n");

    // lines() also checks that the count line carries the time prefix.
    EXPECT_EQ(log.lines(), (lines_t{"same text", "Last message repeated 2 times", "different"}));
}

TEST(InfoLog, TraceDoesNotBreakARun) {
    log_sandbox log;
    set_info_level(INFO_DEBUG);
    json_ptr obj(json_pack("{s:i}", "k", 1));
    print_info(INFO_WARN, "again\n");
    json_trace(DEBUG_WORKER, DEBUG_WORKER, obj.get(), JSON_COMPACT, "label:");
    json_trace(DEBUG_WORKER, DEBUG_ROUTER, obj.get(), JSON_COMPACT, "hidden:");
    json_trace(DEBUG_WORKER, DEBUG_WORKER, nullptr, JSON_COMPACT, "none:");
    print_info(INFO_WARN, "again\n");
    print_info(INFO_WARN, "done\n");

    EXPECT_EQ(log.lines(), (lines_t{"again", R"(label:{"k":1})", "none:<--- DUMP INCOMPLETE",
                                    "Last message repeated 1 times", "done"}));
}

TEST(InfoLog, LongMessageIsCut) {
    log_sandbox log;
    std::string text(5000, 'x');
    print_info(INFO_WARN, "%s", text.c_str());
    std::string raw = log.raw();
    ASSERT_EQ(raw.size(), 23u + 4095u);
    EXPECT_EQ(raw.substr(23), std::string(4095, 'x'));
}

TEST(InfoLog, MissingDirectoryFallsBackToStderr) {
    log_sandbox log;
    std::string bad = log.path("no-such-dir/tuvod.log");
    stderr_capture err(log.path("stderr.txt"));
    set_log_file(bad.c_str());
    for (int i = 0; i < 3; i++)
        print_info(INFO_WARN, "on stderr\n");
    print_info(INFO_WARN, "next\n");
    std::string captured = err.restore();

    // The failure goes to the old file, which is closed all the same.
    EXPECT_EQ(log.lines(),
              lines_t{"Unable to open log file " + bad + ": No such file or directory"});
    EXPECT_EQ(captured, "on stderr\nLast message repeated 2 times\nnext\n");
}

TEST(InfoLog, InfoLevelConversions) {
    log_sandbox log;
    struct {
        const char *text;
        info_level_t level;
    } accepted[] = {{"4", INFO_DEBUG},     {"0x3", INFO_INFO},    {" 2", INFO_WARN},
                    {"01", INFO_ERROR},    {"Debug", INFO_DEBUG}, {"Critical", INFO_CRITICAL},
                    {"Warning", INFO_WARN}};
    for (const auto &a : accepted) {
        info_level_t level = static_cast<info_level_t>(99);
        EXPECT_EQ(str2info_level(a.text, &level), 0) << a.text;
        EXPECT_EQ(level, a.level) << a.text;
    }
    for (const char *text : {"0", "5", "-1", "debug", "3 ", "", "99999999999999999999999"}) {
        info_level_t level = INFO_INFO;
        EXPECT_EQ(str2info_level(text, &level), -1) << text;
        EXPECT_EQ(level, INFO_INFO) << text;
    }
    info_level_t level = INFO_INFO;
    EXPECT_EQ(str2info_level(nullptr, &level), -1);

    lines_t got = log.lines();
    ASSERT_EQ(got.size(), 8u) << log.raw();
    EXPECT_EQ(got[0], "Invalid info level 0 supplied");
    EXPECT_EQ(got[3], "Invalid info level 'debug' supplied");
    EXPECT_EQ(got[4], "Invalid info level '3 ' supplied");
    EXPECT_EQ(got[7], "No info level supplied");

    EXPECT_STREQ(info_level2str(INFO_CRITICAL), "Critical");
    EXPECT_STREQ(info_level2str(INFO_WARN), "Warning");
    EXPECT_STREQ(info_level2str(INFO_DEBUG), "Debug");
    EXPECT_STREQ(info_level2str(static_cast<info_level_t>(7)), "Unknown");
}

namespace {

std::string escaped(const std::string &text, size_t outsz = 4096) {
    std::string out(outsz, '\0');
    size_t n = escape_log_message(text.c_str(), out.data(), outsz);
    out.resize(n);
    return out;
}

// Outside text cannot start a log line: every control character is
// escaped but a final newline, and the result fits its buffer.
TEST(InfoLog, ControlCharactersAreEscapedAndTheLengthCapped) {
    EXPECT_EQ(escaped("op 'a\nFORGED'\n"), "op 'a\\nFORGED'\n");
    EXPECT_EQ(escaped("\r\t\x01\x7f\xc3\xa4"), "\\r\\t\\x01\\x7f\xc3\xa4");
    EXPECT_EQ(escaped("\n\n"), "\\n\n");
    EXPECT_EQ(escaped(std::string(20, '\n') + "\n", 16), "\\n\\n\\n\\n\\n...\n");
    EXPECT_EQ(escaped("abcdefgh", 9), "abcdefgh");
    EXPECT_EQ(escaped("abcdefghi", 9), "abcde...");

    // C1 controls, line and direction controls, and bytes that are no UTF-8;
    // other characters pass whole, and no cut splits an escape.
    EXPECT_EQ(escaped("a\xc2\x85" "b\xc2\x9b" "c\xc2\xa0"), "a\\u0085b\\u009bc\xc2\xa0");
    EXPECT_EQ(escaped("\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xaf"),
              "\\u2028\\u2029\\u202a\\u202e\\u2066\\u2069\xe2\x80\xaf");
    EXPECT_EQ(escaped("\x9b\xc0\xaf\xed\xa0\x80\xf0\x9f\x98\x80\xe2\x80"),
              "\\x9b\\xc0\\xaf\\xed\\xa0\\x80\xf0\x9f\x98\x80\\xe2\\x80");
    EXPECT_EQ(escaped("ab\xe2\x80\xae", 8), "ab...");
    EXPECT_EQ(escape_outside_text("a\nb\xc2\x9b", 5), "a\\nb\\u009b");

    log_sandbox log;
    print_info(INFO_WARN, "Invalid op '%s'\n", "x\n2026-01-01T00:00:00Z : forged");
    EXPECT_EQ(log.raw().substr(23), "Invalid op 'x\\n2026-01-01T00:00:00Z : forged'\n");
}

} // namespace

namespace {

std::vector<std::pair<int, std::string>> journal_lines;
void record_journal(int priority, const char *message) { journal_lines.emplace_back(priority, message); }

// Sends the journal's lines to record_journal with JOURNAL_STREAM as given
// (none: unset); both are back as they were when it goes.
class journal_capture {
  public:
    explicit journal_capture(const char *stream) {
        const char *old = getenv("JOURNAL_STREAM");
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        if (stream != nullptr)
            setenv("JOURNAL_STREAM", stream, 1);
        else
            unsetenv("JOURNAL_STREAM");
        saved_sink_ = tuvod_journal_sink;
        tuvod_journal_sink = record_journal;
        journal_lines.clear();
    }
    ~journal_capture() {
        tuvod_journal_sink = saved_sink_;
        if (had_)
            setenv("JOURNAL_STREAM", old_.c_str(), 1);
        else
            unsetenv("JOURNAL_STREAM");
    }
    journal_capture(const journal_capture &) = delete;
    journal_capture &operator=(const journal_capture &) = delete;

  private:
    bool had_;
    std::string old_;
    void (*saved_sink_)(int, const char *);
};

} // namespace

TEST(InfoLog, WarningsAndErrorsReachTheJournalWithTheirPriorityUnderAServiceManager) {
    log_sandbox log;
    set_info_level(INFO_INFO);
    {
        journal_capture journal("8:1234");
        print_info(INFO_INFO, "routine\n");
        print_info(INFO_WARN, "disk nearly full\n");
        print_info(INFO_ERROR, "bind failed: %s\n", "a\x1b]0;title\x07");
        EXPECT_EQ(journal_lines, (std::vector<std::pair<int, std::string>>{
                                     {4, "disk nearly full"}, {3, "bind failed: a\\x1b]0;title\\x07"}}));
    }
    {
        // Not under a journal: the file alone.
        journal_capture journal(nullptr);
        print_info(INFO_ERROR, "only in the file\n");
        EXPECT_TRUE(journal_lines.empty());
    }
    // The file keeps every line in its own format.
    lines_t lines = log.lines();
    ASSERT_EQ(lines.size(), 4u) << log.raw();
    EXPECT_EQ(lines[2], "bind failed: a\\x1b]0;title\\x07");
}
