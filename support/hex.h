// Bytes written as hex digits, two per byte, high half first.
#pragma once

#include <cstddef>
#include <string>

// In lower case.
std::string hex_text(const unsigned char* bytes, std::size_t count);

// True when text is exactly digit_count hex digits of either case;
// lower_case then holds them in lower case.
bool read_hex_text(const std::string& text, std::size_t digit_count, std::string& lower_case);

// The value of one hex digit of either case, or -1 for any other character.
int hex_digit_value(char c);
