// Statistics: the file tail's window and line rules, and the process and
// system objects built from /proc.
#include "stats.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "execute_test_helpers.hpp"
#include "handles.hpp"
#include "procinfo.hpp"
#include "utils.hpp"

using namespace exec_test;

namespace {

std::vector<std::string> tail(const std::string &file, size_t n) {
    json_ptr lines(file_tail_json(file.c_str(), n));
    std::vector<std::string> out;
    EXPECT_TRUE(json_is_array(lines.get()));
    size_t i;
    json_t *line;
    json_array_foreach(lines.get(), i, line) out.emplace_back(json_string_value(line));
    return out;
}

class FileTailTest : public ::testing::Test {
  protected:
    std::string write(const std::string &content) {
        std::string file = sandbox.file("log");
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    sandbox_dir sandbox;
};

using lines_t = std::vector<std::string>;

TEST_F(FileTailTest, LinesComeOldestFirstUpToTheNumberWanted) {
    std::string ten;
    for (int i = 1; i <= 10; ++i)
        ten += "line " + std::to_string(i) + "\n";
    std::string file = write(ten);
    lines_t all = tail(file, 24);
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all.front(), "line 1");
    EXPECT_EQ(all.back(), "line 10");
    EXPECT_EQ(tail(file, 2), (lines_t{"line 9", "line 10"}));
    EXPECT_EQ(tail(write("one\ntwo"), 24), (lines_t{"one", "two"}));
    EXPECT_EQ(tail(write("one\ntwo"), 1), (lines_t{"two"}));
}

TEST_F(FileTailTest, EmptyLinesAreSkippedAndNotCounted) {
    EXPECT_EQ(tail(write("a\n\nb\n"), 24), (lines_t{"a", "b"}));
    EXPECT_EQ(tail(write("x\na\n\n\nb\n"), 2), (lines_t{"a", "b"}));
    EXPECT_EQ(tail(write("\n\n"), 24), lines_t{});
}

TEST_F(FileTailTest, LineThatIsNotTextIsLeftOutButCounted) {
    EXPECT_EQ(tail(write("first\nsecond\n\xff\xfe\nlast\n"), 2), (lines_t{"last"}));
}

TEST_F(FileTailTest, EmptyOrMissingFileGivesEmptyArray) {
    EXPECT_EQ(tail(write(""), 24), lines_t{});
    EXPECT_EQ(tail(sandbox.file("missing"), 24), lines_t{});
}

TEST_F(FileTailTest, LargeFileIsReadOnlyInItsLastWindow) {
    const off_t page = sysconf(_SC_PAGESIZE);
    const off_t window = 268435456;
    const off_t size = window + 3 * page + 100;
    const off_t start = 4 * page; // (size - window) rounded up to a page
    std::string file = sandbox.file("big");
    unique_fd fd(open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(ftruncate(fd.get(), size), 0);
    auto put = [&](off_t at, const std::string &text) {
        ASSERT_EQ(pwrite(fd.get(), text.data(), text.size(), at),
                  static_cast<ssize_t>(text.size()));
    };
    put(0, "first line of the file\n");
    put(start - 6, "AAAAAAAAAAAA\n"); // cut by the window's start
    put(start + 7, "inside\n");
    // The long line of zeros up to the end starts with a byte that is not
    // text, so it is counted without being copied.
    put(start + 14, "\xff");
    put(size - 15, "\nlast-1\nlast-2\n");
    fd.reset();
    EXPECT_EQ(tail(file, 24), (lines_t{"inside", "last-1", "last-2"}));
    EXPECT_EQ(tail(file, 2), (lines_t{"last-1", "last-2"}));
    unlink(file.c_str());
}

// logrotate's copytruncate empties the log while it may be being read: the
// tail must end early with whole lines, never with a signal.
TEST_F(FileTailTest, LogTruncatedDuringTailsEndsTheScanQuietly) {
    std::string content;
    for (int i = 0; content.size() < (4u << 20); ++i)
        content += "log line " + std::to_string(i) + "\n";
    std::string file = write(content);
    std::atomic<bool> stop{false};
    std::thread rotator([&] {
        while (!stop.load()) {
            unique_fd fd(open(file.c_str(), O_WRONLY | O_CLOEXEC));
            if (!fd || ftruncate(fd.get(), 0) != 0 ||
                pwrite(fd.get(), content.data(), content.size(), 0) !=
                    static_cast<ssize_t>(content.size()))
                ADD_FAILURE() << "rewrite failed";
        }
    });
    // Every line is whole, except that the last may be one the writer was
    // still writing when the tail began.
    auto whole = [](const std::string &line) {
        return line.size() > 9 && line.rfind("log line ", 0) == 0 &&
               line.find_first_not_of("0123456789", 9) == std::string::npos;
    };
    std::string bad;
    for (int round = 0; round < 100 && bad.empty(); ++round) {
        lines_t lines = tail(file, 1000000);
        for (size_t i = 0; i < lines.size() && bad.empty(); ++i) {
            bool last = i + 1 == lines.size();
            if (!whole(lines[i]) && !(last && std::string("log line ").rfind(lines[i].substr(0, 9), 0) == 0))
                bad = lines[i];
        }
    }
    stop.store(true);
    rotator.join();
    EXPECT_EQ(bad, "");
}

TEST(ProcessStatsTest, FiguresAreConvertedToTheObjectsUnits) {
    proc_stat_t st;
    st.utime = 250;
    st.stime = 50;
    st.starttime = 1000;
    st.vsize = 2097152;
    st.rss = 256;
    st.num_threads = 4;
    proc_figures_t fig = process_figures(st, 20.0, 100, 4096, 100ULL << 20, 1024, 1536);
    EXPECT_DOUBLE_EQ(fig.user_time, 2.5);
    EXPECT_DOUBLE_EQ(fig.sys_time, 0.5);
    EXPECT_DOUBLE_EQ(fig.real_time, 10.0);
    EXPECT_DOUBLE_EQ(fig.pct_cpu, 30.0);
    EXPECT_DOUBLE_EQ(fig.pct_mem, 1.0);
    EXPECT_EQ(fig.size_kib, 2048);
    EXPECT_EQ(fig.resident_kib, 1024);
    EXPECT_EQ(fig.threads, 4);
    EXPECT_EQ(fig.in_blocks, 2);
    EXPECT_EQ(fig.out_blocks, 3);
}

TEST(ProcessStatsTest, ObjectHasEveryKeyWithItsType) {
    json_ptr self(process_stats_json(getpid()));
    ASSERT_TRUE(json_is_object(self.get()));
    std::string comm;
    std::ifstream("/proc/self/comm") >> comm;
    EXPECT_EQ(json_string_value(json_object_get(self.get(), "name")), comm);
    EXPECT_TRUE(json_is_string(json_object_get(self.get(), "args")));
    EXPECT_GE(json_integer_value(json_object_get(self.get(), "activeThreads")), 1);
    EXPECT_GT(json_integer_value(json_object_get(self.get(), "processSize")), 0);
    EXPECT_GT(json_integer_value(json_object_get(self.get(), "residentSize")), 0);
    EXPECT_TRUE(json_is_real(json_object_get(self.get(), "percentCPUTime")));
    EXPECT_TRUE(json_is_real(json_object_get(self.get(), "percentMemory")));
    json_t *usage = json_object_get(self.get(), "usage");
    ASSERT_TRUE(json_is_object(usage));
    for (const char *key : {"realTime", "userTime", "sysCallTime", "sysTrapTime"})
        EXPECT_TRUE(json_is_real(json_object_get(usage, key))) << key;
    for (const char *key : {"inputBlocks", "outputBlocks"})
        EXPECT_TRUE(json_is_integer(json_object_get(usage, key))) << key;
    EXPECT_EQ(json_object_size(self.get()), 8u);
    EXPECT_EQ(json_object_size(usage), 6u);

    json_ptr gone(process_stats_json(2147483646));
    EXPECT_TRUE(json_is_null(gone.get()));
}

TEST(ProcessStatsTest, ArgumentsCutInsideACharacterStayText) {
    std::string wide = "x";
    for (int i = 0; i < 60; ++i)
        wide += "\xc3\xa4"; // a two-byte character
    pid_t pid = fork();
    if (pid == 0) {
        // A group of its own, so that the shell's sleep goes with it and
        // does not hold the test's output open for its 30 seconds.
        setpgid(0, 0);
        execl("/bin/sh", "/bin/sh", "-c", "sleep 30", wide.c_str(), static_cast<char *>(nullptr));
        _exit(1);
    }
    ASSERT_GT(pid, 0);
    setpgid(pid, pid);
    std::string dir = std::to_string(pid), name, args;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((read_proc_names(dir.c_str(), &name, &args, 80, true) != 0 || name != "sh") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    json_ptr stats(process_stats_json(pid));
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(json_is_object(stats.get()));
    std::string packed = json_string_value(json_object_get(stats.get(), "args"));
    // "/bin/sh -c sleep 30 x" is 21 bytes; byte 80 falls inside a character.
    EXPECT_EQ(packed.size(), 79u);
    EXPECT_EQ(packed.rfind("/bin/sh -c sleep 30 x\xc3\xa4", 0), 0u);
}

TEST(SystemStatsTest, SnapshotListsProcessesInTextOrder) {
    json_ptr snapshot(system_stats_json());
    ASSERT_TRUE(json_is_object(snapshot.get()));
    EXPECT_TRUE(json_is_object(json_object_get(snapshot.get(), "systemLoad")));
    EXPECT_TRUE(json_is_array(json_object_get(snapshot.get(), "messages")));
    json_t *procs = json_object_get(snapshot.get(), "processState");
    ASSERT_TRUE(json_is_object(procs));
    EXPECT_TRUE(json_is_object(json_object_get(procs, std::to_string(getpid()).c_str())));
    std::string previous;
    const char *key;
    json_t *value;
    json_object_foreach(procs, key, value) {
        EXPECT_LT(previous, key);
        previous = key;
    }
}

} // namespace
