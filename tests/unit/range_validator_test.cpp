// Which validator of the first answer a continuation names in If-Range.
#include <gtest/gtest.h>

#include "net/range_validator.h"

namespace {

const char date[] = "Tue, 01 Apr 2025 10:00:00 GMT";

TEST(RangeValidator, AStrongETagIsTakenBeforeTheDate)
{
    EXPECT_EQ(range_validator("\"aaaa\"", date), "\"aaaa\"");
    EXPECT_EQ(range_validator("  \"5f2-61a\"\t", ""), "\"5f2-61a\"");
    EXPECT_EQ(range_validator("\"\"", ""), "\"\"");
    EXPECT_EQ(range_validator("\"caf\xe9\"", ""), "\"caf\xe9\"");
}

// A weak or malformed tag names no exact bytes: the date stands in for it.
TEST(RangeValidator, AWeakOrMalformedETagLeavesTheDate)
{
    const char* const unusable[] = {
        "W/\"aaaa\"", "w/\"aaaa\"", "aaaa", "\"aaaa", "aaaa\"", "\"", "\"a\"a\"", "\"a a\"",
        "\"a\tb\"", "\"a\x7f\"", "\"a\", \"b\"", "*", "",
    };
    for (const char* etag : unusable) {
        EXPECT_EQ(range_validator(etag, date), date) << etag;
        EXPECT_EQ(range_validator(etag, ""), "") << etag;
    }
}

TEST(RangeValidator, ADateThatCouldPassForATagOrEndTheHeaderIsNoValidator)
{
    EXPECT_EQ(range_validator("", std::string(" ") + date + " "), date);
    for (const char* last_modified :
         {"", "   ", "\"Tue, 01 Apr 2025\"", "W/\"x\"", "1743501600", "Tue\x01", "Tue, 01\xa0"})
        EXPECT_EQ(range_validator("", last_modified), "") << last_modified;
}

}  // namespace
