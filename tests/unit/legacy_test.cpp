// Splitting of legacy command lines into execute requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handles.hpp"
#include "legacy.hpp"

namespace {

std::vector<std::string> split(std::string text) {
    json_ptr req(tuvo_legacy_request_json("id", text.data(), text.size() + 1));
    EXPECT_TRUE(req);
    std::vector<std::string> out;
    if (!req)
        return out;
    json_t *argv = json_object_get(json_object_get(req.get(), "args"), "argv");
    size_t i;
    json_t *v;
    json_array_foreach(argv, i, v) out.emplace_back(json_string_value(v));
    return out;
}

using args = std::vector<std::string>;

TEST(LegacySplit, BlanksSeparateEveryArgument) {
    EXPECT_EQ(split("/usr/bin/x a  b"), (args{"/usr/bin/x", "a", "", "b"}));
    EXPECT_EQ(split(" x"), (args{"", "x"}));
    EXPECT_EQ(split("x "), (args{"x", ""}));
    // Only the blank separates.
    EXPECT_EQ(split("x\ta\nb"), (args{"x\ta\nb"}));
}

TEST(LegacySplit, QuotedRunsKeepBlanksAndQuotes) {
    EXPECT_EQ(split("x \" \""), (args{"x", "\" \""}));
    EXPECT_EQ(split("a \"b c\" d"), (args{"a", "\"b c\"", "d"}));
    EXPECT_EQ(split("a x\"b c\"y d"), (args{"a", "x\"b c\"y", "d"}));
    // An unclosed quote runs to the end of the text.
    EXPECT_EQ(split("a \"b c d"), (args{"a", "\"b c d"}));
}

TEST(LegacySplit, TextEndsAtFirstNul) {
    std::string text("x a\0b c", 7);
    json_ptr req(tuvo_legacy_request_json("id", text.data(), text.size()));
    ASSERT_TRUE(req);
    json_t *argv = json_object_get(json_object_get(req.get(), "args"), "argv");
    EXPECT_EQ(json_array_size(argv), 2u);
}

TEST(LegacySplit, RequestShape) {
    std::string text = "/bin/true";
    json_ptr req(tuvo_legacy_request_json("abc", text.data(), text.size() + 1));
    ASSERT_TRUE(req);
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "op")), "execute");
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "requestUUID")), "abc");
    EXPECT_TRUE(json_is_null(json_object_get(req.get(), "authority")));
    EXPECT_TRUE(json_is_false(json_object_get(json_object_get(req.get(), "args"), "asynchronous")));
}

TEST(LegacySplit, InvalidUtf8CannotBeBuilt) {
    std::string text = "/bin/x \xff\xfe";
    json_ptr req(tuvo_legacy_request_json("id", text.data(), text.size() + 1));
    EXPECT_FALSE(req);
}

} // namespace
