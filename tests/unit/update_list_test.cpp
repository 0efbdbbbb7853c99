#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/update_check.h"

namespace {

struct Parsed {
    bool result;
    std::vector<std::string> urls;
    std::vector<std::int32_t> sizes;
};

Parsed parse(const std::string& text)
{
    MemoryStream body(text.begin(), text.end());
    Parsed parsed;
    parsed.result =
        parse_update_list(body, static_cast<std::int32_t>(body.size()), parsed.urls, parsed.sizes);
    return parsed;
}

TEST(ParseUpdateList, WellFormedRepliesGiveOneEntryPerLine)
{
    Parsed p = parse("http://h/a.exe,10\r\nhttp://h/b.dll,20\r\n");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.urls, (std::vector<std::string>{"http://h/a.exe", "http://h/b.dll"}));
    EXPECT_EQ(p.sizes, (std::vector<std::int32_t>{10, 20}));
}

TEST(ParseUpdateList, WhiteSpaceExtraFieldsAndSizeTextAreTolerated)
{
    Parsed p = parse("  \t http://h/a.exe  ,  12abc , extra, more \r\n"
                     "http://h/b, x9\r\n"
                     "http://h/c,-7\r\n"
                     "http://h/d,4294967297\r\n"
                     "http://h/e,+5");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.urls, (std::vector<std::string>{"http://h/a.exe", "http://h/b", "http://h/c",
                                                "http://h/d", "http://h/e"}));
    EXPECT_EQ(p.sizes, (std::vector<std::int32_t>{12, 0, -7, 1, 5}));
}

TEST(ParseUpdateList, LineFeedAloneDoesNotEndALine)
{
    Parsed p = parse("http://h/a,5\nhttp://h/b,6");
    EXPECT_EQ(p.urls, std::vector<std::string>{"http://h/a"});
    EXPECT_EQ(p.sizes, std::vector<std::int32_t>{5});
}

TEST(ParseUpdateList, EmptyLinesInsideTheBodyAreSkipped)
{
    Parsed p = parse("http://h/a,1\r\n\r\n   \r\nhttp://h/b,2");
    EXPECT_EQ(p.urls, (std::vector<std::string>{"http://h/a", "http://h/b"}));
}

TEST(ParseUpdateList, BodiesThatAreNoUpdateListGiveNoEntries)
{
    for (const char* body : {"", " \r\n\t \r\n", "<html>Not found</html>",
                             "http://h/a,1\r\nsomething else\r\nhttp://h/b,2"}) {
        Parsed p = parse(body);
        EXPECT_FALSE(p.result) << body;
        EXPECT_TRUE(p.urls.empty()) << body;
        EXPECT_TRUE(p.sizes.empty()) << body;
    }
}

TEST(ParseUpdateList, OnlyTheReceivedBytesAreRead)
{
    std::string text = "http://h/a,1\r\nhttp://h/b,2";
    MemoryStream body(text.begin(), text.end());
    std::vector<std::string> urls;
    std::vector<std::int32_t> sizes;
    EXPECT_TRUE(parse_update_list(body, 12, urls, sizes));
    EXPECT_EQ(urls, std::vector<std::string>{"http://h/a"});
    EXPECT_EQ(sizes, std::vector<std::int32_t>{1});
}

}  // namespace
