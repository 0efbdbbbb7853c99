// The one reader of plain decimal numbers in what the program is sent or
// keeps: no sign, no white space, no radix, nothing after the digits.
#pragma once

#include <cstdint>
#include <string_view>

// True when digits is one or more decimal digits ("C" locale) writing a
// number of at most largest; value then holds it. Leading zeros count for
// nothing, however many there are.
bool read_decimal(std::string_view digits, std::uint64_t largest, std::uint64_t& value);

// The length of the run of decimal digits at the start of text.
std::size_t decimal_digits_at_start(std::string_view text);
