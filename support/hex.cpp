#include "support/hex.h"

#include <algorithm>

#include "support/characters.h"

std::string hex_text(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

bool read_hex_text(const std::string& text, std::size_t digit_count, std::string& lower_case)
{
    if (text.size() != digit_count || !std::all_of(text.begin(), text.end(), is_hex_digit))
        return false;
    lower_case = text;
    std::transform(lower_case.begin(), lower_case.end(), lower_case.begin(), to_lower_case);
    return true;
}

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
