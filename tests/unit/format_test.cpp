#include "support/format.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

int append(std::string& output, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int appended = append_formatted(output, format, arguments);
    va_end(arguments);
    return appended;
}

struct format_case {
    std::string actual;
    std::string expected;
};

void expect_all(const format_case* first, const format_case* last)
{
    for (const format_case* c = first; c != last; ++c)
        EXPECT_EQ(c->expected, c->actual) << "case " << (c - first);
}

TEST(format_text, copies_text_and_reads_backslash_escapes)
{
    const format_case cases[] = {
        {format_text("/upload/check_update.php?wersja=%d", 12),
         "/upload/check_update.php?wersja=12"},
        {format_text("plain"), "plain"},
        {format_text(""), ""},
        {format_text("a\\nb"), "a\nb"},
        {format_text("\\\"\\'\\?\\\\\\b\\f\\n\\r\\t\\v"), "\"'?\\\b\f\n\r\t\v"},
        {format_text("\\q"), "q"},
        {format_text("\\%d", 5), "5"},
        {format_text("ab\\"), "ab"},
        {format_text("\xE9\\n\xB9"), "\xE9\n\xB9"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(format_text, pads_characters_and_texts_itself)
{
    const format_case cases[] = {
        {format_text("%5s|%-5s|", "ab", "cd"), "   ab|cd   |"},
        {format_text("%.2s", "abcdef"), "ab"},
        {format_text("%2s", "abcd"), "abcd"},
        {format_text("%.*s", 3, "abcdef"), "abc"},
        {format_text("%*s|", -4, "ab"), "ab  |"},
        {format_text("%4.*s|", -2, "abc"), "ab  |"},
        {format_text("%.0s|", "abc"), "|"},
        {format_text("%.s|", "abc"), "|"},
        {format_text("%3c", 'x'), "  x"},
        {format_text("%-3c|", 'x'), "x  |"},
        {format_text("%+05.3c", 'x'), "    x"},
        {format_text("%c", 0x141), "A"},
        {format_text("%c%c", 0xE9, 'z'), "\xE9z"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(format_text, hands_numbers_to_the_runtime_as_written)
{
    const format_case cases[] = {
        {format_text("%*d", -5, 42), "42   "},
        {format_text("%*d|", 5, 42), "   42|"},
        {format_text("%-*d|", 4, 7), "7   |"},
        {format_text("%i %+d %05d", 1, 5, -42), "1 +5 -0042"},
        {format_text("%.30d", 7), std::string(29, '0') + "7"},
        {format_text("%60d", 7), std::string(59, ' ') + "7"},
        {format_text("%hd %hi", 0x18000, 70000), "-32768 4464"},
        {format_text("%ld", -7), "-7"},
        {format_text("%x %X %o %u", 255, 255, 8, 7), "ff FF 10 7"},
        {format_text("%x %lx %lu", -1, -1, -1), "ffffffff ffffffff 4294967295"},
        {format_text("%hx", 0x12345), "2345"},
        {format_text("%#x", 255), "0xff"},
        {format_text("%.3f|%8.2f", 3.14159, 2.5), "3.142|    2.50"},
        {format_text("%*.*f", 8, 2, 3.14159), "    3.14"},
        {format_text("%Lf %lf", 1.5, 2.5), "1.500000 2.500000"},
        {format_text("%g %G", 0.0001, 1e-10), "0.0001 1E-10"},
        {format_text("%.2e", 12345.0), "1.23e+04"},
        {format_text("%d %s %d", 1, "two", 3), "1 two 3"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(format_text, gives_large_conversions_room_enough)
{
    const std::string largest = format_text("%f", 1.7976931348623157e308);
    EXPECT_EQ(316u, largest.size());
    EXPECT_EQ("179769313486231570", largest.substr(0, 18));
    EXPECT_EQ(".000000", largest.substr(309));

    const std::string precise = format_text("%.400f", 1.0);
    EXPECT_EQ("1." + std::string(400, '0'), precise);

    EXPECT_EQ(std::string(499, ' ') + "1.5", format_text("%502.1f", 1.5));
}

TEST(format_text, takes_a_pointer_for_p)
{
    int object = 0;
    void* pointer = &object;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%p|%d", pointer, 9);
    EXPECT_EQ(expected, format_text("%p|%d", pointer, 9));
}

TEST(format_text, writes_other_letters_once_without_taking_an_argument)
{
    const format_case cases[] = {
        {format_text("%%"), "%"},     {format_text("100%%!"), "100%!"},
        {format_text("%q"), "q"},     {format_text("%q%d", 7), "q7"},
        {format_text("%-5q|"), "q|"}, {format_text("%5%|"), "%|"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(format_text, keeps_an_unfinished_conversion_as_written)
{
    const format_case cases[] = {
        {format_text("abc%"), "abc%"},
        {format_text("abc%-5"), "abc%-5"},
        {format_text("%.3l"), "%.3l"},
        {format_text("%*", -7), "%-7"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(format_text, n_stores_the_count_appended_so_far)
{
    int before = -1;
    int after = -1;
    EXPECT_EQ("abcde|", format_text("%nabc%nde|", &before, &after));
    EXPECT_EQ(0, before);
    EXPECT_EQ(3, after);
}

TEST(append_formatted, appends_and_counts_only_its_own_characters)
{
    std::string output = "xyz";
    int counted = -1;
    EXPECT_EQ(6, append(output, "%d-%s%n!", 42, "ab", &counted));
    EXPECT_EQ("xyz42-ab!", output);
    EXPECT_EQ(5, counted);
    EXPECT_EQ(0, append(output, ""));
    EXPECT_EQ("xyz42-ab!", output);
}

}  // namespace
