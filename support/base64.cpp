#include "support/base64.h"

namespace {

// The value of a base64 digit, or -1.
int digit_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::size_t padding_length(const std::string& text)
{
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    return padding;
}

}  // namespace

bool decode_base64(const std::string& text, std::vector<unsigned char>& bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    std::size_t digits = text.size() - padding_length(text);
    std::vector<unsigned char> decoded;
    decoded.reserve(digits * 3 / 4);
    unsigned long bits = 0;
    int bit_count = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int value = digit_value(text[i]);
        if (value < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned long>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            decoded.push_back(static_cast<unsigned char>(bits >> bit_count));
            bits &= (1ul << bit_count) - 1;
        }
    }
    // Leftover bits are padding and must be zero, so each text has one meaning.
    if (bits != 0)
        return false;
    bytes.swap(decoded);
    return true;
}
