#include "support/decimal_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(read_decimal, takes_digits_alone_up_to_the_largest_allowed)
{
    const std::uint64_t most = UINT64_MAX;
    const struct {
        std::string digits;
        std::uint64_t largest;
        bool read;
        std::uint64_t value;
    } cases[] = {
        {"0", 0, true, 0},
        {"1", 0, false, 0},
        {"42", 42, true, 42},
        {"43", 42, false, 0},
        {"000000000000000000000000000000042", 42, true, 42},
        {"2147483647", 2147483647, true, 2147483647},
        {"2147483648", 2147483647, false, 0},
        {"9223372036854775808", std::uint64_t(1) << 63, true, std::uint64_t(1) << 63},
        {"9223372036854775809", std::uint64_t(1) << 63, false, 0},
        {"18446744073709551615", most, true, most},
        {"18446744073709551616", most, false, 0},
        {"99999999999999999999999999", most, false, 0},
        {"", most, false, 0},
        {"+5", most, false, 0},
        {"-5", most, false, 0},
        {" 5", most, false, 0},
        {"5 ", most, false, 0},
        {"1 2", most, false, 0},
        {"0x10", most, false, 0},
        {"12abc", most, false, 0},
        {"\xB9", most, false, 0},
        {std::string("1\0", 2), most, false, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t value = 7;
        EXPECT_EQ(read_decimal(c.digits, c.largest, value), c.read) << c.digits;
        EXPECT_EQ(value, c.read ? c.value : 7) << c.digits;
    }
}

TEST(decimal_digits_at_start, counts_the_leading_run_only)
{
    EXPECT_EQ(decimal_digits_at_start(""), 0u);
    EXPECT_EQ(decimal_digits_at_start("x12"), 0u);
    EXPECT_EQ(decimal_digits_at_start("12-34"), 2u);
    EXPECT_EQ(decimal_digits_at_start("0123456789"), 10u);
}

}  // namespace
