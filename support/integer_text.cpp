#include "support/integer_text.h"

#include "support/characters.h"

#include <array>
#include <cstddef>
#include <stdexcept>

namespace {

const char digit_alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";

constexpr std::array<signed char, 256> make_digit_values()
{
    std::array<signed char, 256> values{};
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        if (is_decimal_digit(c))
            values[byte] = static_cast<signed char>(byte - '0');
        else if (is_ascii_letter(c))
            values[byte] = static_cast<signed char>(to_lower_case(c) - 'a' + 10);
        else
            values[byte] = -1;
    }
    return values;
}

// Value of each byte as a digit of any radix up to 36, -1 for a byte that is no digit.
constexpr std::array<signed char, 256> digit_values = make_digit_values();

bool is_digit_of(char byte, std::uint32_t radix)
{
    const int value = digit_values[static_cast<unsigned char>(byte)];
    return value >= 0 && static_cast<std::uint32_t>(value) < radix;
}

std::uint32_t digit_value(char byte)
{
    return static_cast<std::uint32_t>(digit_values[static_cast<unsigned char>(byte)]);
}

bool is_valid_radix(std::uint32_t radix)
{
    return radix >= 2 && radix <= 36;
}

std::string decimal_text(std::uint32_t value)
{
    return unsigned_to_text(value, 10, radix_prefixed_or_marked, 0);
}

[[noreturn]] void fail_radix(std::uint32_t radix)
{
    throw std::invalid_argument("invalid radix value " + decimal_text(radix));
}

[[noreturn]] void fail_character(const std::string& text, std::uint32_t radix)
{
    throw std::invalid_argument("invalid character in string " + text + " for radix " +
                                decimal_text(radix));
}

[[noreturn]] void fail_sign(const std::string& text)
{
    throw std::invalid_argument("invalid sign character in string " + text + " for unsigned value");
}

// The bit pattern of a signed value read as two's complement, without relying on
// how the compiler converts out-of-range unsigned values.
std::int32_t as_signed(std::uint32_t pattern)
{
    if (pattern <= 0x7FFFFFFFu)
        return static_cast<std::int32_t>(pattern);
    return static_cast<std::int32_t>(pattern - 0x80000000u) - 0x7FFFFFFF - 1;
}

std::uint32_t bits_per_digit(std::uint32_t radix)
{
    return radix == 2 ? 1 : radix == 8 ? 3 : 4;
}

// ---- value to text

enum class radix_form { plain, marked, prefixed };

radix_form form_for(std::uint32_t radix, std::uint32_t radix_display)
{
    const bool decimal = radix == 10;
    const bool has_prefix = radix == 16 || radix == 8 || radix == 2;
    switch (radix_display) {
    case radix_plain:
        return radix_form::plain;
    case radix_marked_unless_decimal:
        return decimal ? radix_form::plain : radix_form::marked;
    case radix_marked:
        return radix_form::marked;
    case radix_prefixed:
        return has_prefix ? radix_form::prefixed : radix_form::plain;
    default:
        return decimal ? radix_form::plain : has_prefix ? radix_form::prefixed : radix_form::marked;
    }
}

void check_display_arguments(std::uint32_t radix, std::uint32_t radix_display)
{
    if (!is_valid_radix(radix))
        fail_radix(radix);
    if (radix_display > radix_prefixed_or_marked)
        throw std::invalid_argument("invalid radix display value");
}

// At least one digit, and at least width digits filled with leading zeros.
std::string plain_digits(std::uint32_t magnitude, std::uint32_t radix, std::uint32_t width)
{
    std::string reversed;
    do {
        reversed += digit_alphabet[magnitude % radix];
        magnitude /= radix;
    } while (magnitude != 0 || reversed.size() < width);
    return std::string(reversed.rbegin(), reversed.rend());
}

std::string radix_mark(std::uint32_t radix)
{
    return decimal_text(radix) + "#";
}

std::string signed_plain_form(std::int32_t value, std::uint32_t radix, std::uint32_t width)
{
    // The magnitude in unsigned arithmetic, so that -2147483648 has one too.
    const std::uint32_t pattern = static_cast<std::uint32_t>(value);
    if (value < 0)
        return "-" + plain_digits(0u - pattern, radix, width);
    return plain_digits(pattern, radix, width);
}

std::string bit_string(std::uint32_t pattern)
{
    std::string bits;
    for (int position = 31; position >= 0; --position)
        bits += ((pattern >> position) & 1u) != 0 ? '1' : '0';
    return bits;
}

// Lengthens bits at the front: a signed pattern repeats its sign bit, an unsigned
// one gains zeros, so the value stays the same.
void extend_front(std::string& bits, std::size_t length, bool is_signed)
{
    if (bits.size() < length)
        bits.insert(0, length - bits.size(), is_signed ? bits[0] : '0');
}

// A first bit that can go without changing the value: for a signed pattern one
// that repeats the sign bit after it, for an unsigned one a leading zero.
bool first_bit_is_redundant(const std::string& bits, bool is_signed)
{
    if (is_signed)
        return bits.size() > 2 && bits[0] == bits[1];
    return bits.size() > 1 && bits[0] == '0';
}

// The shortest pattern of at least width digits that reads back to the value.
std::string prefix_form(std::uint32_t pattern, bool is_signed, std::uint32_t radix,
                        std::uint32_t width)
{
    const std::size_t group = bits_per_digit(radix);
    const std::size_t limit = std::size_t{width} * group;
    std::string bits = bit_string(pattern);
    extend_front(bits, limit, is_signed);
    while (bits.size() > limit && first_bit_is_redundant(bits, is_signed))
        bits.erase(0, 1);
    if (radix == 2)
        return "0b" + bits;

    extend_front(bits, (bits.size() + group - 1) / group * group, is_signed);
    std::string digits;
    for (std::size_t start = 0; start < bits.size(); start += group)
        digits += digit_alphabet[text_to_unsigned(bits.substr(start, group), 2)];
    if (radix == 16)
        return "0x" + digits;
    // A signed octal text always needs the '0' that marks it, even before a '0' sign digit.
    if (is_signed || digits[0] != '0')
        return "0" + digits;
    return digits;
}

// ---- text to value

// "0x", "0b" or, with radix 0, a leading "0": the digits stand for a bit string
// that a signed reading extends with its first bit.
std::uint32_t read_prefix_form(const std::string& text, std::size_t start, std::uint32_t radix,
                               bool is_signed)
{
    const std::uint32_t group = bits_per_digit(radix);
    std::uint32_t pattern = 0;
    std::size_t bit_count = 0;
    bool first_bit = false;
    for (std::size_t position = start; position < text.size(); ++position) {
        if (!is_digit_of(text[position], radix))
            fail_character(text, radix);
        const std::uint32_t digit = digit_value(text[position]);
        if (bit_count == 0)
            first_bit = ((digit >> (group - 1)) & 1u) != 0;
        pattern = (pattern << group) | digit;
        bit_count += group;
    }
    if (is_signed && first_bit && bit_count < 32)
        pattern |= ~std::uint32_t{0} << bit_count;
    return pattern;
}

// A leading run of decimal digits followed by '#' replaces the radix; position is
// moved past the '#'. Radix 0, passed or marked, means 10.
std::uint32_t read_radix_mark(const std::string& text, std::uint32_t radix, std::size_t& position)
{
    std::size_t run_end = 0;
    while (run_end < text.size() && is_decimal_digit(text[run_end]))
        ++run_end;
    if (run_end < text.size() && text[run_end] == '#') {
        radix = text_to_unsigned(text.substr(0, run_end), 0);
        position = run_end + 1;
    }
    if (radix == 0)
        radix = 10;
    if (!is_valid_radix(radix))
        fail_radix(radix);
    return radix;
}

std::uint32_t read_plain_form(const std::string& text, std::uint32_t radix, bool is_signed)
{
    std::size_t position = 0;
    radix = read_radix_mark(text, radix, position);

    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        if (negative && !is_signed)
            fail_sign(text);
        ++position;
    }
    std::uint32_t value = 0;
    for (; position < text.size(); ++position) {
        if (!is_digit_of(text[position], radix))
            fail_character(text, radix);
        value = value * radix + digit_value(text[position]);
    }
    return negative ? 0u - value : value;
}

// The 32-bit pattern of the text's value; is_signed allows a '-' and makes the
// prefix forms sign-extend.
std::uint32_t read_value(const std::string& text, std::uint32_t radix, bool is_signed)
{
    if (radix != 0 && !is_valid_radix(radix))
        fail_radix(radix);
    if (text.size() >= 2 && text[0] == '0') {
        if (text[1] == 'x' || text[1] == 'X')
            return read_prefix_form(text, 2, 16, is_signed);
        if (text[1] == 'b' || text[1] == 'B')
            return read_prefix_form(text, 2, 2, is_signed);
    }
    if (radix == 0 && !text.empty() && text[0] == '0')
        return read_prefix_form(text, 1, 8, is_signed);
    return read_plain_form(text, radix, is_signed);
}

}  // namespace

std::string signed_to_text(std::int32_t value, std::uint32_t radix, std::uint32_t radix_display,
                           std::uint32_t width)
{
    check_display_arguments(radix, radix_display);
    switch (form_for(radix, radix_display)) {
    case radix_form::prefixed:
        return prefix_form(static_cast<std::uint32_t>(value), true, radix, width);
    case radix_form::marked:
        return radix_mark(radix) + signed_plain_form(value, radix, width);
    default:
        return signed_plain_form(value, radix, width);
    }
}

std::string unsigned_to_text(std::uint32_t value, std::uint32_t radix, std::uint32_t radix_display,
                             std::uint32_t width)
{
    check_display_arguments(radix, radix_display);
    switch (form_for(radix, radix_display)) {
    case radix_form::prefixed:
        return prefix_form(value, false, radix, width);
    case radix_form::marked:
        return radix_mark(radix) + plain_digits(value, radix, width);
    default:
        return plain_digits(value, radix, width);
    }
}

std::int32_t text_to_signed(const std::string& text, std::uint32_t radix)
{
    return as_signed(read_value(text, radix, true));
}

std::uint32_t text_to_unsigned(const std::string& text, std::uint32_t radix)
{
    return read_value(text, radix, false);
}
