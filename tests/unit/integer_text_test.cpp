#include "support/integer_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

const std::int32_t int_min = INT32_MIN;

TEST(signed_to_text, writes_plain_and_marked_forms)
{
    const struct {
        std::int32_t value;
        std::uint32_t radix, radix_display, width;
        const char* expected;
    } cases[] = {
        {42, 10, radix_prefixed_or_marked, 0, "42"},
        {-42, 10, radix_prefixed_or_marked, 0, "-42"},
        {-7, 10, radix_plain, 3, "-007"},
        {0, 10, radix_plain, 0, "0"},
        {0, 10, radix_plain, 4, "0000"},
        {123, 10, radix_plain, 2, "123"},
        {int_min, 10, radix_plain, 0, "-2147483648"},
        {int_min, 2, radix_plain, 0, "-10000000000000000000000000000000"},
        {255, 16, radix_plain, 0, "ff"},
        {255, 16, radix_marked_unless_decimal, 0, "16#ff"},
        {-255, 16, radix_marked_unless_decimal, 0, "16#-ff"},
        {42, 10, radix_marked_unless_decimal, 0, "42"},
        {42, 10, radix_marked, 0, "10#42"},
        {255, 36, radix_prefixed_or_marked, 0, "36#73"},
        {255, 36, radix_prefixed, 0, "73"},
        {-5, 7, radix_marked, 3, "7#-005"},
        {35, 36, radix_plain, 0, "z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, signed_to_text(c.value, c.radix, c.radix_display, c.width))
            << c.value << " radix " << c.radix << " display " << c.radix_display;
}

TEST(signed_to_text, writes_the_shortest_pattern_that_keeps_a_sign_bit)
{
    const struct {
        std::int32_t value;
        std::uint32_t radix, width;
        const char* expected;
    } cases[] = {
        {255, 16, 0, "0x0ff"},
        {127, 16, 0, "0x7f"},
        {128, 16, 0, "0x080"},
        {-1, 16, 0, "0xf"},
        {-128, 16, 0, "0x80"},
        {-129, 16, 0, "0xf7f"},
        {0, 16, 0, "0x0"},
        {0, 8, 0, "00"},
        {8, 8, 0, "010"},
        {5, 8, 0, "005"},
        {-1, 8, 0, "07"},
        {5, 2, 0, "0b0101"},
        {0, 2, 0, "0b00"},
        {-1, 2, 0, "0b11"},
        {-1, 16, 2, "0xff"},
        {255, 16, 4, "0x00ff"},
        {-2, 16, 10, "0xfffffffffe"},
        {int_min, 16, 0, "0x80000000"},
        {INT32_MAX, 16, 0, "0x7fffffff"},
        {int_min, 8, 0, "060000000000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, signed_to_text(c.value, c.radix, radix_prefixed, c.width))
            << c.value << " radix " << c.radix << " width " << c.width;
        EXPECT_EQ(c.expected, signed_to_text(c.value, c.radix, radix_prefixed_or_marked, c.width));
    }
}

TEST(unsigned_to_text, writes_the_shortest_pattern_without_sign_bit)
{
    const struct {
        std::uint32_t value, radix, radix_display, width;
        const char* expected;
    } cases[] = {
        {255, 16, radix_prefixed, 0, "0xff"},
        {4294967295u, 16, radix_prefixed, 0, "0xffffffff"},
        {0, 16, radix_prefixed, 0, "0x0"},
        {0, 8, radix_prefixed, 0, "0"},
        {5, 8, radix_prefixed, 0, "05"},
        {8, 8, radix_prefixed, 0, "010"},
        {5, 2, radix_prefixed, 0, "0b101"},
        {0, 2, radix_prefixed, 0, "0b0"},
        {5, 2, radix_prefixed, 6, "0b000101"},
        {4294967295u, 8, radix_prefixed, 0, "037777777777"},
        {4294967295u, 10, radix_prefixed_or_marked, 0, "4294967295"},
        {4294967295u, 16, radix_plain, 10, "00ffffffff"},
        {35, 36, radix_marked, 2, "36#0z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, unsigned_to_text(c.value, c.radix, c.radix_display, c.width))
            << c.value << " radix " << c.radix << " display " << c.radix_display;
}

TEST(text_to_signed, reads_prefix_forms_radix_marks_and_plain_digits)
{
    const struct {
        const char* text;
        std::uint32_t radix;
        std::int32_t expected;
    } cases[] = {
        {"12", 0, 12},
        {"+12", 0, 12},
        {"-12", 0, -12},
        {"012", 0, 10},
        {"07", 0, -1},
        {"017", 0, 15},
        {"0x1f", 0, 31},
        {"0X1F", 0, 31},
        {"0xff", 0, -1},
        {"0x0ff", 0, 255},
        {"0b101", 0, -3},
        {"0B11", 0, -1},
        {"16#ff", 0, 255},
        {"16#-ff", 0, -255},
        {"#123", 0, 123},
        {"0#12", 10, 12},
        {"36#zZ", 0, 1295},
        {"", 0, 0},
        {"+", 0, 0},
        {"-", 0, 0},
        {"0", 0, 0},
        {"0x", 0, 0},
        {"0b", 0, 0},
        {"012", 10, 12},
        {"16#ff", 10, 255},
        {"010#7", 10, 7},
        {"2147483648", 10, int_min},
        {"-2147483648", 10, int_min},
        {"4294967296", 10, 0},
        {"4294967297", 10, 1},
        {"F", 16, 15},
        {"0xF", 16, -1},
        {"0b1", 16, -1},
        {"101", 2, 5},
        {"0x80000000", 0, int_min},
        {"0x100000000", 0, 0},
        {"0x1ffffffff", 0, -1},
        {"0x7fffffffe", 0, -2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, text_to_signed(c.text, c.radix))
            << "'" << c.text << "' radix " << c.radix;
}

TEST(text_to_unsigned, reads_prefix_forms_without_sign_extension)
{
    const struct {
        const char* text;
        std::uint32_t radix;
        std::uint32_t expected;
    } cases[] = {
        {"0xff", 0, 255},     {"0b1", 0, 1},
        {"+", 0, 0},          {"07", 0, 7},
        {"0x8", 0, 8},        {"0xffffffff", 0, 4294967295u},
        {"16#FF", 0, 255},    {"4294967295", 0, 4294967295u},
        {"4294967296", 0, 0}, {"Zz", 36, 1295},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, text_to_unsigned(c.text, c.radix))
            << "'" << c.text << "' radix " << c.radix;
}

TEST(integer_text, reports_each_failure_with_its_message)
{
    const struct {
        std::function<void()> call;
        const char* message;
    } cases[] = {
        {[] { text_to_signed("08", 0); }, "invalid character in string 08 for radix 8"},
        {[] { text_to_signed("-16#ff", 0); }, "invalid character in string -16#ff for radix 10"},
        {[] { text_to_signed("2#102", 0); }, "invalid character in string 2#102 for radix 2"},
        {[] { text_to_signed("40#1", 0); }, "invalid radix value 40"},
        {[] { text_to_signed("1#5", 0); }, "invalid radix value 1"},
        {[] { text_to_signed("08#7", 10); }, "invalid character in string 08 for radix 8"},
        {[] { text_to_signed(" 12", 10); }, "invalid character in string  12 for radix 10"},
        {[] { text_to_signed("12 ", 0); }, "invalid character in string 12  for radix 10"},
        {[] { text_to_signed("0x1g", 0); }, "invalid character in string 0x1g for radix 16"},
        {[] { text_to_signed("0x-1", 0); }, "invalid character in string 0x-1 for radix 16"},
        {[] { text_to_signed("0b12", 16); }, "invalid character in string 0b12 for radix 2"},
        {[] { text_to_signed("0#12", 0); }, "invalid character in string 0#12 for radix 8"},
        {[] { text_to_signed("0+7", 0); }, "invalid character in string 0+7 for radix 8"},
        {[] { text_to_signed("1z", 35); }, "invalid character in string 1z for radix 35"},
        {[] { text_to_signed("\xB2", 10); }, "invalid character in string \xB2 for radix 10"},
        {[] { text_to_unsigned("-12", 0); },
         "invalid sign character in string -12 for unsigned value"},
        {[] { text_to_unsigned("-", 0); }, "invalid sign character in string - for unsigned value"},
        {[] { text_to_unsigned("16#-ff", 0); },
         "invalid sign character in string 16#-ff for unsigned value"},
        {[] { text_to_signed("", 1); }, "invalid radix value 1"},
        {[] { text_to_signed("", 37); }, "invalid radix value 37"},
        {[] { text_to_unsigned("", 1); }, "invalid radix value 1"},
        {[] { text_to_unsigned("", 37); }, "invalid radix value 37"},
        {[] { text_to_signed("1", static_cast<std::uint32_t>(-1)); },
         "invalid radix value 4294967295"},
        {[] { signed_to_text(0, 1, radix_plain, 0); }, "invalid radix value 1"},
        {[] { signed_to_text(0, 37, radix_plain, 0); }, "invalid radix value 37"},
        {[] { unsigned_to_text(0, 1, radix_plain, 0); }, "invalid radix value 1"},
        {[] { unsigned_to_text(0, 37, radix_plain, 0); }, "invalid radix value 37"},
        {[] { signed_to_text(1, 10, 5, 0); }, "invalid radix display value"},
        {[] { unsigned_to_text(1, 16, 5, 0); }, "invalid radix display value"},
        {[] { signed_to_text(1, 1, 5, 0); }, "invalid radix value 1"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no exception, expected: " << c.message;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(c.message, error.what());
        }
    }
}

TEST(integer_text, prefix_forms_and_radix_marks_read_back_to_the_same_value)
{
    const std::int32_t signed_values[] = {
        0, 1, -1, 5, 8, 127, 128, -128, -129, 255, 0x12345678, -0x12345678, INT32_MAX, int_min};
    const std::uint32_t unsigned_values[] = {0,   1,           5,           8,
                                             255, 0x80000000u, 0xdeadbeefu, 0xffffffffu};
    const struct {
        std::uint32_t radix, radix_display;
    } forms[] = {
        {2, radix_prefixed},
        {8, radix_prefixed},
        {16, radix_prefixed_or_marked},
        {3, radix_marked},
        {10, radix_marked},
        {36, radix_prefixed_or_marked},
        {16, radix_marked_unless_decimal},
    };
    for (const auto& form : forms) {
        for (std::uint32_t width : {0u, 1u, 3u, 9u, 40u}) {
            for (std::int32_t value : signed_values) {
                const std::string text =
                    signed_to_text(value, form.radix, form.radix_display, width);
                EXPECT_EQ(value, text_to_signed(text, 0)) << text;
            }
            for (std::uint32_t value : unsigned_values) {
                const std::string text =
                    unsigned_to_text(value, form.radix, form.radix_display, width);
                EXPECT_EQ(value, text_to_unsigned(text, 0)) << text;
            }
        }
    }
}

}  // namespace
