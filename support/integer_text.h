// Conversion between 32-bit integers and text in radixes 2 to 36, with the
// radix mark notation ("16#ff") and the prefix notations "0x", "0" and "0b".
// Failures throw std::invalid_argument.
#pragma once

#include <cstdint>
#include <string>

// How a value-to-text result shows its radix.
const std::uint32_t radix_plain = 0;
const std::uint32_t radix_marked_unless_decimal = 1;
const std::uint32_t radix_marked = 2;
const std::uint32_t radix_prefixed = 3;
const std::uint32_t radix_prefixed_or_marked = 4;

std::string signed_to_text(std::int32_t value, std::uint32_t radix, std::uint32_t radix_display,
                           std::uint32_t width);
std::string unsigned_to_text(std::uint32_t value, std::uint32_t radix, std::uint32_t radix_display,
                             std::uint32_t width);

// Radix 0 takes the radix from the text (prefix form or radix mark), else 10.
std::int32_t text_to_signed(const std::string& text, std::uint32_t radix);
std::uint32_t text_to_unsigned(const std::string& text, std::uint32_t radix);
