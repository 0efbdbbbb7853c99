// Character classes of the "C" locale, whatever locale the process runs in:
// no byte from 0x80 up belongs to any of them.
#pragma once

// Space, and tab through carriage return (0x09..0x0D).
constexpr bool is_white_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool is_decimal_digit(char c)
{
    return c >= '0' && c <= '9';
}

constexpr bool is_hex_digit(char c)
{
    return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr bool is_lower_case_letter(char c)
{
    return c >= 'a' && c <= 'z';
}

constexpr bool is_upper_case_letter(char c)
{
    return c >= 'A' && c <= 'Z';
}

constexpr bool is_ascii_letter(char c)
{
    return is_lower_case_letter(c) || is_upper_case_letter(c);
}

constexpr char to_upper_case(char c)
{
    return is_lower_case_letter(c) ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr char to_lower_case(char c)
{
    return is_upper_case_letter(c) ? static_cast<char>(c - 'A' + 'a') : c;
}
