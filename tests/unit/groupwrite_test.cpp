// Texts handed in while another append is being written share the next
// write, each whole and in the order handed in; with no file every append fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "groupwrite.hpp"

namespace {

TEST(GroupWrite, TextsWaitingDuringAWriteShareTheNextWholeAndInOrder) {
    char path[] = "/tmp/groupwrite.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *file = fdopen(fd, "a");
    ASSERT_NE(file, nullptr);
    pthread_mutex_t file_mutex = PTHREAD_MUTEX_INITIALIZER;
    group_append_stats before = group_append_counts();
    auto wait_for = [](auto done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    };

    // The first append is held inside its write while the file's mutex is held here.
    pthread_mutex_lock(&file_mutex);
    std::string first_text = "first\n";
    std::thread first([&] { EXPECT_TRUE(group_append(&file_mutex, &file, first_text)); });
    bool held = wait_for([&] { return group_append_counts().begun == before.begun + 1; });
    // The others are handed in one after another, so their order is known.
    // The shared write is large enough to give its cached pages back, which
    // must not cost a byte of it.
    std::vector<std::string> texts = {std::string(size_t{3} << 19, 'a') + "\n", "b\n", "c\n"};
    std::vector<std::thread> others;
    for (size_t i = 0; held && i < texts.size(); i++) {
        others.emplace_back([&, i] { EXPECT_TRUE(group_append(&file_mutex, &file, texts[i])); });
        held = wait_for([&] { return group_append_counts().waiting == i + 1; });
    }
    pthread_mutex_unlock(&file_mutex);
    first.join();
    for (auto &t : others)
        t.join();
    ASSERT_TRUE(held);

    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), first_text + texts[0] + texts[1] + texts[2]);
    group_append_stats after = group_append_counts();
    EXPECT_EQ(after.begun - before.begun, 2u);
    EXPECT_EQ(after.shared_writes - before.shared_writes, 1u);
    EXPECT_EQ(after.shared_texts - before.shared_texts, 3u);
    fclose(file);
    unlink(path);

    FILE *none = nullptr;
    EXPECT_FALSE(group_append(&file_mutex, &none, "x\n"));
}

} // namespace
