#include <gtest/gtest.h>

#include <string>

#include "update/url_file_name.h"

namespace {

// "łódź.txt" as the program writes it, in code page 1250.
const std::string lodz = "\xB3\xF3" "d\x9F.txt";
const std::string unchanged = "<unchanged>";

std::string name_of(const std::string& object_path)
{
    std::string name = unchanged;
    return file_name_from_url_path(object_path, name) ? name : "<refused: " + name + ">";
}

std::string refused()
{
    return "<refused: " + unchanged + ">";
}

TEST(UrlFileName, IsTheLastSegmentPercentDecodedIntoCodePage1250)
{
    EXPECT_EQ(name_of("/files/v2/program.exe"), "program.exe");
    EXPECT_EQ(name_of("program.exe"), "program.exe");
    EXPECT_EQ(name_of("/files/a%20b%2etxt"), "a b.txt");
    EXPECT_EQ(name_of("/files/%41%6a"), "Aj");
    // Percent-encoded UTF-8, and the same bytes sent raw.
    EXPECT_EQ(name_of("/files/%C5%82%C3%B3d%C5%BA.txt"), lodz);
    EXPECT_EQ(name_of("/files/%c5%82%c3%b3d%c5%ba.txt"), lodz);
    EXPECT_EQ(name_of("/files/\xC5\x82\xC3\xB3" "d\xC5\xBA.txt"), lodz);
    // Characters from every part of the code page's upper half.
    EXPECT_EQ(name_of("/%E2%82%AC%E2%80%9E%C5%A0%C2%A0%C2%B5%C5%94%C3%9F%CB%99"),
              "\x80\x84\x8A\xA0\xB5\xC0\xDF\xFF");
    // Segments before the last one are never decoded.
    EXPECT_EQ(name_of("/%2F/x%ZZ/a.txt"), "a.txt");
}

TEST(UrlFileName, BytesThatAreNoUtf8AreTakenAsCodePage1250)
{
    EXPECT_EQ(name_of("/files/" + lodz), lodz);
    EXPECT_EQ(name_of("/files/%B3%F3d%9F.txt"), lodz);
    const std::string not_utf8[] = {
        "\x80",              // a continuation byte alone
        "\xC5",              // a sequence cut short at the end
        "\xC5" "a",          // a lead byte followed by no continuation
        "\xE2\x82",          // three bytes cut short
        "\xC0\xAF",          // "/" in two bytes, not its shortest form
        "\xE0\x80\xAF",      // and in three
        "\xED\xA0\x80",      // a surrogate
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "\xFF",
    };
    for (const std::string& bytes : not_utf8)
        EXPECT_EQ(name_of("/files/a" + bytes + ".txt"), "a" + bytes + ".txt");
}

TEST(UrlFileName, MalformedEscapesAndCharactersWithoutACodePageFormAreRefused)
{
    const std::string paths[] = {
        "/files/%",      "/files/a%",     "/files/a%4",    "/files/a%4.txt",
        "/files/%G0.txt", "/files/%0g.txt", "/files/%%41",   "/files/% 41",
        "/files/%E4%B8%AD.txt",    // U+4E2D
        "/files/\xE4\xB8\xAD.txt",  // the same, raw
        "/files/a%C2%81.txt",       // U+0081: a byte the code page leaves empty
        "/files/%F0%9F%98%80",      // U+1F600
        "/files/%C3%A0.txt",        // U+00E0: no best fit to "a"
    };
    for (const std::string& path : paths)
        EXPECT_EQ(name_of(path), refused()) << path;
}

TEST(UrlFileName, LeavesTheStagedNameRulesToTheirCheck)
{
    // Decoding may yield what the staged-name rules refuse; they see it.
    EXPECT_EQ(name_of("/files/..%2F..%2Fmenu.exe"), "../../menu.exe");
    EXPECT_EQ(name_of("/files/a%5Cb"), "a\\b");
    EXPECT_EQ(name_of("/files/a%00b"), std::string("a\0b", 3));
    EXPECT_EQ(name_of("/files/"), "");
}

}  // namespace
