#include "support/decimal_text.h"

#include "support/characters.h"

bool read_decimal(std::string_view digits, std::uint64_t largest, std::uint64_t& value)
{
    if (digits.empty())
        return false;
    std::uint64_t number = 0;
    for (char c : digits) {
        if (!is_decimal_digit(c))
            return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        // Tested before it is formed, so nothing ever overflows.
        if (digit > largest || number > (largest - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    value = number;
    return true;
}

std::size_t decimal_digits_at_start(std::string_view text)
{
    std::size_t count = 0;
    while (count < text.size() && is_decimal_digit(text[count]))
        ++count;
    return count;
}
