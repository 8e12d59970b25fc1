// The fast dump writes exactly the JSON library's text, for every layout
// the daemon uses and for strings of every kind.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "handles.hpp"
#include "jsondump.hpp"
#include "output.hpp"

namespace {

int append(const char *text, size_t len, void *data) {
    static_cast<std::string *>(data)->append(text, len);
    return 0;
}

std::string library(const json_t *v, size_t flags) {
    std::string out;
    EXPECT_EQ(json_dump_callback(v, append, &out, flags), 0);
    return out;
}

std::string fast(const json_t *v, size_t flags) {
    std::string out;
    EXPECT_EQ(json_dump_fast(v, append, &out, flags), 0);
    return out;
}

// A value with every kind of member: nesting, empty containers, numbers,
// literals, and strings with escapes, control bytes, NUL and multi-byte text.
json_ptr sample_value() {
    static const char tricky[] = "q\" b\\ t\t r\r f\f b\b n\n nul\0 one\x01 esc\x1b del\x7f / \xC3\xA9 \xF0\x9F\x98\x80";
    json_ptr v(json_pack("{s:s, s:[s, i, f, b, b, n, [], {}], s:{s:o, s:I}, s:{}}", "UUID", "id-1", "argv",
                         "/bin/x", 42, 2.5, 1, 0, "output", "stdout",
                         json_stringn(tricky, sizeof tricky - 1), "exitStatus", static_cast<json_int_t>(-7),
                         "empty"));
    json_object_set_new(v.get(), "key\nwith\"escapes", json_real(1e-300));
    return v;
}

TEST(JsonDump, SameTextAsTheLibraryInEveryLayout) {
    json_ptr v = sample_value();
    ASSERT_TRUE(v);
    for (size_t flags : {size_t{0}, size_t{JSON_COMPACT}, size_t{JSON_INDENT(4)}, size_t{JSON_INDENT(2) | JSON_COMPACT},
                         size_t{JSON_COMPACT | JSON_ENCODE_ANY}})
        EXPECT_EQ(fast(v.get(), flags), library(v.get(), flags)) << flags;
    // Scalars only with JSON_ENCODE_ANY, as in the library.
    json_ptr s(json_string("x\ty"));
    EXPECT_EQ(fast(s.get(), JSON_ENCODE_ANY), "\"x\\ty\"");
    std::string out;
    EXPECT_EQ(json_dump_fast(s.get(), append, &out, JSON_COMPACT), -1);
}

TEST(JsonDump, LargeAndRandomStringsMatchAndBufferSizesAreExact) {
    std::mt19937 rng(7);
    std::string big;
    while (big.size() < 3 * 1024 * 1024)
        big += "line of output with \"quotes\" and \\ and a tab\t\xC3\xA9\n";
    for (int i = 0; i < 20000; i++)
        big.push_back(static_cast<char>(rng() & 0xFF));
    json_ptr text(json_string_lossy(big.data(), big.size()));
    json_ptr v(json_pack("{s:{s:i, s:O, s:s}}", "output", "exitStatus", 0, "stdout", text.get(), "stderr", ""));
    for (size_t flags : {size_t{JSON_COMPACT}, size_t{JSON_INDENT(4)}})
        EXPECT_EQ(fast(v.get(), flags), library(v.get(), flags));

    size_t want = json_dumpb(v.get(), nullptr, 0, JSON_COMPACT);
    EXPECT_EQ(json_dumpb_fast(v.get(), nullptr, 0, JSON_COMPACT), want);
    std::string buf(want, '\0');
    EXPECT_EQ(json_dumpb_fast(v.get(), buf.data(), buf.size(), JSON_COMPACT), want);
    EXPECT_EQ(buf, library(v.get(), JSON_COMPACT));
    // A buffer one byte short is told the whole length and not written past.
    std::string short_buf(want + 16, '#');
    EXPECT_EQ(json_dumpb_fast(v.get(), short_buf.data(), want - 1, JSON_COMPACT), want);
    EXPECT_EQ(short_buf.substr(want - 1), std::string(17, '#'));
}

TEST(JsonDump, InvalidUtf8FailsLikeTheLibraryAndAFailingReceiverStops) {
    json_ptr bad(json_stringn_nocheck("ok\xFF", 3));
    json_ptr v(json_pack("[O]", bad.get()));
    std::string out;
    EXPECT_EQ(json_dump_callback(v.get(), append, &out, JSON_COMPACT), -1);
    EXPECT_EQ(json_dump_fast(v.get(), append, &out, JSON_COMPACT), -1);
    json_ptr good = sample_value();
    EXPECT_EQ(json_dump_fast(good.get(), [](const char *, size_t, void *) { return -1; }, nullptr, JSON_COMPACT), -1);
}

} // namespace

namespace {

// The word-at-a-time scan stops at the first byte that is not plain, at
// every position within a word and for every kind of such byte.
TEST(JsonDump, PlainPrefixStopsAtEveryKindOfByteAtEveryOffset) {
    for (unsigned char stop : {'\0', '\x01', '\x1f', '"', '\\', '\x80', '\xc3', '\xff'}) {
        for (size_t at = 0; at < 24; at++) {
            std::string s(24, 'a');
            s[at] = static_cast<char>(stop);
            EXPECT_EQ(json_plain_ascii_prefix(s.data(), s.size()), at) << int(stop) << " at " << at;
        }
    }
    std::string plain(" ~!#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}\x7f");
    EXPECT_EQ(json_plain_ascii_prefix(plain.data(), plain.size()), plain.size());
}

} // namespace
