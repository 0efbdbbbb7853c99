#include "support/text_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(trim_white_space, removes_c_locale_white_space_from_both_ends_only)
{
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"  a b\r\n", "a b"},
        {" \t \t ", ""},
        {"", ""},
        {"\t\n\v\f\rx\t\n\v\f\r", "x"},
        {"a \t b", "a \t b"},
        {"\xA0x\xA0", "\xA0x\xA0"},
        {" \x85 ", "\x85"},
        {"\x1F"
         "x\x0E",
         "\x1F"
         "x\x0E"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, trim_white_space(c.text)) << "text: " << c.text;
}

TEST(split_text, cuts_at_every_occurrence_and_keeps_empty_fields)
{
    using fields = std::vector<std::string>;
    const struct {
        std::string text;
        std::string separator;
        fields expected;
    } cases[] = {
        {"", ",", {}},
        {"abc", ",", {"abc"}},
        {"a,,b,", ",", {"a", "", "b", ""}},
        {",a", ",", {"", "a"}},
        {",", ",", {"", ""}},
        {"x\r\ny\r\n", "\r\n", {"x", "y", ""}},
        {"x\ry\n", "\r\n", {"x\ry\n"}},
        {"aaa", "aa", {"", "a"}},
        {"a--b---c", "--", {"a", "b", "-c"}},
        {"abc", "", {"abc"}},
        {"", "", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, split_text(c.text, c.separator))
            << "text: " << c.text << " separator: " << c.separator;
}

}  // namespace
