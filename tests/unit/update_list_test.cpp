#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "app/update_list.h"

namespace {

// The offered files' fields, in list order.
struct Fields {
    std::vector<std::string> urls;
    std::vector<std::int32_t> sizes;
    std::vector<std::string> hashes;
    std::vector<PatchOffer> patches;
};

Fields fields_of(const UpdateList& list)
{
    Fields fields;
    for (const OfferedFile& file : list.files) {
        fields.urls.push_back(file.url);
        fields.sizes.push_back(file.size);
        fields.hashes.push_back(file.hash);
        fields.patches.push_back(file.patch);
    }
    return fields;
}

struct Parsed {
    bool result;
    Fields list;
    UpdateList files;
};

Parsed parse(const std::string& text, bool hashes_required = false)
{
    MemoryStream body(text.begin(), text.end());
    Parsed parsed;
    parsed.result = parse_update_list(body, static_cast<std::int32_t>(body.size()), parsed.files,
                                      hashes_required);
    parsed.list = fields_of(parsed.files);
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

// The URL is split once, here, with the name the file is staged under.
TEST(ParseUpdateList, EachFileKeepsItsURLsPartsAndTheNameItsPathGives)
{
    Parsed p = parse("https://h:8443/dir/a%20b.exe,10\r\nhttp://h/x/,1\r\nftp://h/c.dll,2\r\n"
                     "http://h/bad%zz,3\r\nnot a url,4\r\nhttp://h/d.dll,5," +
                     hash_a + ",http://p:81/p/d," + "7," + hash_b);
    ASSERT_TRUE(p.result);
    ASSERT_EQ(p.files.files.size(), 6u);
    const OfferedFile& first = p.files.files[0];
    EXPECT_EQ(first.location.host, "h");
    EXPECT_EQ(first.location.port, 8443);
    EXPECT_EQ(first.location.object_path, "/dir/a%20b.exe");
    EXPECT_TRUE(first.location.secure);
    EXPECT_EQ(first.file_name, std::optional<std::string>("a b.exe"));
    EXPECT_EQ(p.files.files[1].file_name, std::optional<std::string>(""));
    for (std::size_t i : {2u, 3u, 4u})
        EXPECT_FALSE(p.files.files[i].file_name.has_value()) << i;
    const OfferedFile& patched = p.files.files[5];
    EXPECT_EQ(patched.file_name, std::optional<std::string>("d.dll"));
    EXPECT_EQ(patched.patch.location.host, "p");
    EXPECT_EQ(patched.patch.location.port, 81);
    EXPECT_EQ(patched.patch.location.object_path, "/p/d");
    EXPECT_FALSE(patched.patch.location.secure);
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
    UpdateList parsed;
    EXPECT_TRUE(parse_update_list(body, 12, parsed, false));
    Fields list = fields_of(parsed);
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

// The fields after the hash: the patch's URL, its size, the installed form's hash.
std::string patch_fields(const std::string& url, const std::string& size, const std::string& base)
{
    return "," + url + "," + size + "," + base;
}

TEST(ParseUpdateList, SixFieldsOfferAPatchForTheInstalledForm)
{
    std::string upper = hash_b;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Parsed p = parse("http://h/a.exe,3," + hash_a + patch_fields("http://h/p/2/1/a.exe", "17", hash_b) +
                     "\r\n" + "http://h/b,5," + hash_b +
                     patch_fields(" https://h:8443/p/b ", " 2147483647 ", " " + upper + " ") +
                     "\r\n" + "http://h/c,7," + hash_a +
                     patch_fields("http://h/p/c", "0007", hash_a) + ",later,fields\r\n" +
                     "http://h/d,1");
    EXPECT_TRUE(p.result);
    ASSERT_EQ(p.list.patches.size(), 4u);
    EXPECT_EQ(p.list.urls[0], "http://h/a.exe");
    EXPECT_EQ(p.list.sizes, (std::vector<std::int32_t>{3, 5, 7, 1}));
    EXPECT_EQ(p.list.hashes, (std::vector<std::string>{hash_a, hash_b, hash_a, ""}));
    EXPECT_EQ(p.list.patches[0].url, "http://h/p/2/1/a.exe");
    EXPECT_EQ(p.list.patches[0].size, 17);
    EXPECT_EQ(p.list.patches[0].base_hash, hash_b);
    EXPECT_EQ(p.list.patches[1].url, "https://h:8443/p/b");
    EXPECT_EQ(p.list.patches[1].size, 2147483647);
    EXPECT_EQ(p.list.patches[1].base_hash, hash_b);
    EXPECT_EQ(p.list.patches[2].url, "http://h/p/c");
    EXPECT_EQ(p.list.patches[2].size, 7);
    EXPECT_EQ(p.list.patches[3].url, "");
}

TEST(ParseUpdateList, MalformedPatchFieldsLeaveTheLineAWholeFile)
{
    const std::string url = "http://h/p/a";
    const std::vector<std::string> tails = {
        // Fewer than three patch fields.
        "," + url, "," + url + ",10", "," + url + ",10,",
        // No URL the program can fetch.
        patch_fields("", "10", hash_b), patch_fields("p/a", "10", hash_b),
        patch_fields("ftp://h/p/a", "10", hash_b), patch_fields("http://", "10", hash_b),
        // No size in plain decimal that fits.
        patch_fields(url, "", hash_b), patch_fields(url, "12abc", hash_b),
        patch_fields(url, "-5", hash_b), patch_fields(url, "+5", hash_b),
        patch_fields(url, "1 2", hash_b), patch_fields(url, "0x10", hash_b),
        patch_fields(url, "2147483648", hash_b), patch_fields(url, "99999999999999999999", hash_b),
        // No hash of 64 hex digits.
        patch_fields(url, "10", ""), patch_fields(url, "10", hash_b.substr(1)),
        patch_fields(url, "10", hash_b + "0"), patch_fields(url, "10", "g" + hash_b.substr(1))};
    for (bool hashes_required : {false, true}) {
        for (const std::string& tail : tails) {
            Parsed p = parse("http://h/a,10," + hash_a + tail + "\r\nhttp://h/b,2," + hash_b,
                             hashes_required);
            EXPECT_TRUE(p.result) << tail;
            EXPECT_EQ(p.list.urls, (std::vector<std::string>{"http://h/a", "http://h/b"})) << tail;
            EXPECT_EQ(p.list.sizes, (std::vector<std::int32_t>{10, 2})) << tail;
            EXPECT_EQ(p.list.hashes, (std::vector<std::string>{hash_a, hash_b})) << tail;
            ASSERT_EQ(p.list.patches.size(), 2u) << tail;
            EXPECT_EQ(p.list.patches[0].url, "") << tail;
            EXPECT_EQ(p.list.patches[1].url, "") << tail;
        }
    }
}

TEST(ParseUpdateList, APatchNeedsTheLinesOwnHash)
{
    const std::string tail = patch_fields("http://h/p/a", "10", hash_b);
    for (const std::string& own : {std::string(""), hash_a.substr(1), hash_a + "0"}) {
        Parsed p = parse("http://h/a,10," + own + tail);
        EXPECT_TRUE(p.result) << own;
        EXPECT_EQ(p.list.hashes, std::vector<std::string>{""}) << own;
        ASSERT_EQ(p.list.patches.size(), 1u) << own;
        EXPECT_EQ(p.list.patches[0].url, "") << own;

        Parsed required = parse("http://h/a,10," + own + tail, true);
        EXPECT_FALSE(required.result) << own;
        EXPECT_TRUE(required.list.patches.empty()) << own;
    }
}

}  // namespace

namespace {

TEST(ParseUpdateList, FieldsSevenAndEightOfferACompressedFormBesideOrWithoutAPatch)
{
    const std::string file = "http://h/a.exe,300," + hash_a;
    Parsed p = parse(file + ",,,,http://h:81/xz/1/a.exe.xz,120\r\n" + file +
                     patch_fields("http://h/p/a", "10", hash_b) + ", http://h/xz/b.xz , 9 ,more\r\n" +
                     // Malformed or cut, or on a line with no hash of its own: none.
                     file + ",,,,p/a.xz,5\r\n" + file + ",,,,http://h/a.xz,12abc\r\n" + file +
                     ",,,,http://h/a.xz\r\n" + "http://h/a.exe,300,,,,,http://h/a.xz,5");
    EXPECT_TRUE(p.result);
    ASSERT_EQ(p.files.files.size(), 6u);
    const CompressedOffer& alone = p.files.files[0].compressed;
    EXPECT_EQ(alone.url, "http://h:81/xz/1/a.exe.xz");
    EXPECT_EQ(alone.size, 120);
    EXPECT_EQ(alone.location.port, 81);
    EXPECT_EQ(alone.location.object_path, "/xz/1/a.exe.xz");
    EXPECT_EQ(p.list.patches[0].url, "");
    EXPECT_EQ(p.files.files[1].compressed.url, "http://h/xz/b.xz");
    EXPECT_EQ(p.files.files[1].compressed.size, 9);
    EXPECT_EQ(p.list.patches[1].url, "http://h/p/a");
    for (std::size_t at = 2; at < 6; ++at) {
        EXPECT_EQ(p.files.files[at].compressed.url, "") << at;
    }
    EXPECT_EQ(p.list.sizes, std::vector<std::int32_t>(6, 300));
}

}  // namespace
