// Stored output streams: the JSON size and the cut agree with what the JSON
// library writes, and decoding gives back the exact string.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "handles.hpp"
#include "output.hpp"
#include "utils.hpp"

namespace {

// The stored form of a stream: the library's compact JSON of the string.
std::string stored(const std::string &raw) {
    json_ptr s(json_string_lossy(raw.data(), raw.size()));
    cstr_ptr text(json_dumps(s.get(), JSON_COMPACT | JSON_ENCODE_ANY));
    return text.get();
}

std::string lossy(const std::string &raw) {
    json_ptr s(json_string_lossy(raw.data(), raw.size()));
    return std::string(json_string_value(s.get()), json_string_length(s.get()));
}

// Streams that exercise every case: escapes, other control bytes and NUL,
// multi-byte characters, invalid and cut sequences, and random bytes.
std::vector<std::string> samples() {
    static const char mixed[] = "quote\" back\\ tab\t cr\r ff\f bs\b nul\0 one\x01 esc\x1b del\x7f slash/";
    std::vector<std::string> out = {
        "",
        "plain text\n",
        std::string(mixed, sizeof mixed - 1),
        "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
        "bad \xff\xfe lead \xc3 cut \xe2\x82",
        "overlong \xc0\xaf surrogate \xed\xa0\x80 past \xf4\x90\x80\x80",
    };
    std::mt19937 rng(7);
    for (int n = 0; n < 200; n++) {
        std::string s(static_cast<size_t>(rng() % 300), '\0');
        for (char &c : s)
            c = static_cast<char>(rng() % 4 == 0 ? 0xc0 + rng() % 0x40 : rng() % 256);
        out.push_back(s);
    }
    return out;
}

TEST(Output, SizeMatchesTheLibrarysText) {
    for (const std::string &raw : samples())
        EXPECT_EQ(output_json_size(raw.data(), raw.size()), stored(raw).size()) << stored(raw);
}

TEST(Output, CutFitsTheLimitOnACharacterBoundary) {
    for (const std::string &raw : samples()) {
        size_t full = stored(raw).size();
        for (size_t limit : {size_t{0}, size_t{2}, size_t{3}, size_t{7}, full / 2, full - 1, full, full + 10}) {
            size_t keep = output_fit_prefix(raw.data(), raw.size(), limit);
            ASSERT_LE(keep, raw.size());
            std::string prefix = raw.substr(0, keep);
            // A prefix never splits a character: its repaired text starts the whole one's.
            EXPECT_EQ(lossy(raw).compare(0, lossy(prefix).size(), lossy(prefix)), 0);
            if (limit >= 2) {
                EXPECT_LE(stored(prefix).size(), limit);
            }
            if (keep < raw.size() && limit >= 2) {
                // The next character, which ends at the next boundary, would not have fitted.
                size_t next = keep + 1;
                while (next < raw.size() && lossy(raw.substr(0, next)) + lossy(raw.substr(next)) != lossy(raw))
                    next++;
                EXPECT_GT(output_json_size(raw.data(), next), limit);
            }
        }
        EXPECT_EQ(output_fit_prefix(raw.data(), raw.size(), full), raw.size());
    }
}

TEST(Output, DecodingGivesTheStringBack) {
    for (const std::string &raw : samples()) {
        std::string text = stored(raw) + ",\"rest\"";
        size_t len = 0, used = 0;
        cstr_ptr out(output_json_unescape(text.data(), text.size(), &len, &used));
        ASSERT_TRUE(out) << text;
        EXPECT_EQ(std::string(out.get(), len), lossy(raw));
        EXPECT_EQ(used, stored(raw).size());
    }
    // Escapes the library reads but does not write, and a pair beyond the BMP.
    std::string other = "\"\\/\\u00e9\\ud83d\\ude00\"";
    size_t len = 0, used = 0;
    cstr_ptr out(output_json_unescape(other.data(), other.size(), &len, &used));
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string(out.get(), len), "/\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(Output, MalformedTextIsRefused) {
    for (std::string bad : {"", "x", "\"open", "\"bad \\q\"", "\"short \\u12\"", "\"lone \\udc00\"",
                            "\"half \\ud800\\u0041\"", "\"end \\"}) {
        size_t len = 0, used = 0;
        EXPECT_EQ(output_json_unescape(bad.data(), bad.size(), &len, &used), nullptr) << bad;
    }
}

} // namespace
