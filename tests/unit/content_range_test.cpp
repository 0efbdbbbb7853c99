// The Content-Range header as the server sends it, well-formed or not.
#include <gtest/gtest.h>

#include <string>

#include "net/content_range.h"

namespace {

TEST(ContentRange, WellFormedValuesGiveTheirBytes)
{
    ContentRange range;
    ASSERT_TRUE(parse_content_range("bytes 100-999/1000", range));
    EXPECT_EQ(range.first, 100u);
    EXPECT_EQ(range.last, 999u);
    EXPECT_TRUE(range.length_known);
    EXPECT_EQ(range.length, 1000u);

    ASSERT_TRUE(parse_content_range("BYTES 0-0/*", range));
    EXPECT_EQ(range.first, 0u);
    EXPECT_EQ(range.last, 0u);
    EXPECT_FALSE(range.length_known);

    ASSERT_TRUE(parse_content_range("Bytes 9223372036854775807-9223372036854775807/*", range));
    EXPECT_EQ(range.first, 9223372036854775807u);
}

TEST(ContentRange, MalformedValuesAreRefusedAndLeaveTheRangeAlone)
{
    const char* malformed[] = {
        "",
        "bytes",
        "bytes ",
        "bytes 0-",
        "bytes 0-9",
        "bytes 0-9/",
        "bytes -9/10",
        "bytes 0--9/10",
        "bytes 5-4/10",        // first after last
        "bytes 0-10/10",       // last outside the length
        "bytes */10",          // an unsatisfied range
        "bytes 0-9/*/",
        "bytes 0-9/10 ",
        " bytes 0-9/10",
        "bytes  0-9/10",
        "bytes 0 -9/10",
        "bytes 0- 9/10",
        "bytes=0-9/10",
        "bytes\t0-9/10",
        "bits 0-9/10",
        "byte 0-9/10",
        "bytes +0-9/10",
        "bytes 0x1-9/10",
        "bytes 1e2-9/10",
        "bytes 0-9/1x",
        "bytes 0-9/10, bytes 10-19/20",
        "bytes 18446744073709551616-18446744073709551617/*",  // past 64 bits
        "bytes 0-99999999999999999999999/*",
        "bytes 9223372036854775809-9223372036854775809/*",   // just past 2^63
    };
    for (const char* value : malformed) {
        ContentRange range;
        range.first = 7;
        EXPECT_FALSE(parse_content_range(value, range)) << value;
        EXPECT_EQ(range.first, 7u) << value;
    }
    ContentRange range;
    EXPECT_FALSE(parse_content_range(std::string("bytes 0-9/10\0", 13), range));
    EXPECT_FALSE(parse_content_range(std::string("bytes 0\0-9/10", 13), range));
}

TEST(ContentRange, OnlyTheExactRestOfTheListedSizeContinuesAFile)
{
    auto rest = [](const char* value, std::uint64_t first, std::uint64_t size) {
        ContentRange range;
        return parse_content_range(value, range) && is_rest_from(range, first, size);
    };
    EXPECT_TRUE(rest("bytes 100-999/1000", 100, 1000));
    EXPECT_TRUE(rest("bytes 100-999/*", 100, 1000));
    EXPECT_FALSE(rest("bytes 99-999/1000", 100, 1000));   // starts before
    EXPECT_FALSE(rest("bytes 101-999/1000", 100, 1000));  // starts after
    EXPECT_FALSE(rest("bytes 100-998/1000", 100, 1000));  // ends short
    EXPECT_FALSE(rest("bytes 100-999/1001", 100, 1000));  // another length
    EXPECT_FALSE(rest("bytes 100-1000/1001", 100, 1000));
    EXPECT_FALSE(rest("bytes 0-999/1000", 100, 1000));    // the whole file
}

}  // namespace
