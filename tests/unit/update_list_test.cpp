#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "app/update_list.h"

namespace {

struct Parsed {
    bool result;
    UpdateList list;
};

Parsed parse(const std::string& text, bool hashes_required = false)
{
    MemoryStream body(text.begin(), text.end());
    Parsed parsed;
    parsed.result = parse_update_list(body, static_cast<std::int32_t>(body.size()), parsed.list,
                                      hashes_required);
    return parsed;
}

const std::string hash_a = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string hash_b = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(ParseUpdateList, WellFormedRepliesGiveOneEntryPerLine)
{
    Parsed p = parse("http://h/a.exe,10\r\nhttp://h/b.dll,20\r\n");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.list.urls, (std::vector<std::string>{"http://h/a.exe", "http://h/b.dll"}));
    EXPECT_EQ(p.list.sizes, (std::vector<std::int32_t>{10, 20}));
    EXPECT_EQ(p.list.hashes, (std::vector<std::string>{"", ""}));
}

TEST(ParseUpdateList, WhiteSpaceExtraFieldsAndSizeTextAreTolerated)
{
    Parsed p = parse("  \t http://h/a.exe  ,  12abc , extra, more \r\n"
                     "http://h/b, x9\r\n"
                     "http://h/c,-7\r\n"
                     "http://h/e,+5");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.list.urls, (std::vector<std::string>{"http://h/a.exe", "http://h/b", "http://h/c",
                                                     "http://h/e"}));
    EXPECT_EQ(p.list.sizes, (std::vector<std::int32_t>{12, 0, -7, 5}));
}

TEST(ParseUpdateList, SizesBeyondThirtyTwoBitsAreNoSizeAFileCanHave)
{
    Parsed p = parse("http://h/a,2147483647\r\nhttp://h/b,2147483648\r\nhttp://h/c,4294967297\r\n"
                     "http://h/d,-2147483648\r\nhttp://h/e,-2147483649\r\n"
                     "http://h/f,00000000000000000000042\r\nhttp://h/g,99999999999999999999999999");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.list.sizes,
              (std::vector<std::int32_t>{2147483647, -1, -1, -2147483647 - 1, -1, 42, -1}));
}

TEST(ParseUpdateList, LineFeedOrCarriageReturnAloneEndsALine)
{
    Parsed p = parse("http://h/a,5\nhttp://h/b,6\rhttp://h/c,7\r\nhttp://h/d,8\n\rhttp://h/e,9\n");
    EXPECT_EQ(p.list.urls, (std::vector<std::string>{"http://h/a", "http://h/b", "http://h/c",
                                                     "http://h/d", "http://h/e"}));
    EXPECT_EQ(p.list.sizes, (std::vector<std::int32_t>{5, 6, 7, 8, 9}));
}

TEST(ParseUpdateList, EmptyLinesInsideTheBodyAreSkipped)
{
    Parsed p = parse("http://h/a,1\r\n\r\n   \r\nhttp://h/b,2");
    EXPECT_EQ(p.list.urls, (std::vector<std::string>{"http://h/a", "http://h/b"}));
}

TEST(ParseUpdateList, BodiesThatAreNoUpdateListGiveNoEntries)
{
    for (const char* body : {"", " \r\n\t \r\n", "<html>Not found</html>",
                             "http://h/a,1\r\nsomething else\r\nhttp://h/b,2"}) {
        for (bool hashes_required : {false, true}) {
            Parsed p = parse(body, hashes_required);
            EXPECT_FALSE(p.result) << body;
            EXPECT_TRUE(p.list.urls.empty()) << body;
            EXPECT_TRUE(p.list.sizes.empty()) << body;
            EXPECT_TRUE(p.list.hashes.empty()) << body;
        }
    }
}

TEST(ParseUpdateList, OnlyTheReceivedBytesAreRead)
{
    std::string text = "http://h/a,1\r\nhttp://h/b,2";
    MemoryStream body(text.begin(), text.end());
    UpdateList list;
    EXPECT_TRUE(parse_update_list(body, 12, list, false));
    EXPECT_EQ(list.urls, std::vector<std::string>{"http://h/a"});
    EXPECT_EQ(list.sizes, std::vector<std::int32_t>{1});
}

TEST(ParseUpdateList, AThirdFieldOfSixtyFourHexDigitsIsTheFilesHash)
{
    std::string upper = hash_b;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Parsed p = parse("http://h/a,3," + hash_a + ",later field\r\n" +  //
                     "http://h/b,0, " + upper + " \r\n" +             //
                     "http://h/c,1," + hash_a.substr(1) + "\r\n" +    //
                     "http://h/d,1," + hash_a + "0\r\n" +             //
                     "http://h/e,1," + hash_a.substr(1) + "g\r\n" +   //
                     "http://h/f,1,\r\n" +                            //
                     "http://h/g,1");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.list.urls.size(), 7u);
    EXPECT_EQ(p.list.hashes, (std::vector<std::string>{hash_a, hash_b, "", "", "", "", ""}));
}

TEST(ParseUpdateList, WhenHashesAreRequiredOneLineWithoutAValidHashSpoilsTheList)
{
    std::string good = "http://h/a,3," + hash_a + "\r\nhttp://h/b,0," + hash_b + "\r\n";
    Parsed p = parse(good, true);
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.list.hashes, (std::vector<std::string>{hash_a, hash_b}));

    for (const std::string& bad_line :
         {std::string("http://h/c,1"), std::string("http://h/c,1,"),
          "http://h/c,1," + hash_a.substr(2), "http://h/c,1," + hash_a + "00",
          "http://h/c,1,x" + hash_a.substr(1)}) {
        Parsed spoiled = parse(good + bad_line, true);
        EXPECT_FALSE(spoiled.result) << bad_line;
        EXPECT_TRUE(spoiled.list.urls.empty()) << bad_line;
        EXPECT_TRUE(spoiled.list.hashes.empty()) << bad_line;
    }
}

}  // namespace
