#include "support/format.h"

#include "support/characters.h"
#include "support/integer_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The variable arguments not yet taken, in the order the format asks for them.
class argument_list {
public:
    explicit argument_list(va_list arguments) { va_copy(remaining_, arguments); }
    ~argument_list() { va_end(remaining_); }
    argument_list(const argument_list&) = delete;
    argument_list& operator=(const argument_list&) = delete;

    template <typename T> T next() { return va_arg(remaining_, T); }

private:
    va_list remaining_;
};

// One conversion as written in the format.
struct conversion {
    std::string text = "%";  // as written, with the values taken by '*' in place of it
    bool left_justified = false;
    long long width = 0;
    long long precision = -1;  // -1 when no precision is given
    char length = '\0';        // 'L', 'h', 'l' or none
    char letter = '\0';        // none when the format ends inside the conversion
};

bool is_flag(char byte)
{
    return byte == ' ' || byte == '#' || byte == '+' || byte == '-' || byte == '0';
}

// The byte that a backslash followed by this byte stands for; '\0' when the pair is
// no escape.
char escaped_byte(char byte)
{
    switch (byte) {
    case '"':
    case '\'':
    case '?':
    case '\\':
        return byte;
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    default:
        return '\0';
    }
}

// A width or precision: '*' takes an int whose magnitude counts and whose sign turns
// left-justification on; otherwise a run of digits, possibly empty.
long long read_count(const char*& cursor, conversion& directive, argument_list& arguments)
{
    if (*cursor == '*') {
        ++cursor;
        const int value = arguments.next<int>();
        directive.text += signed_to_text(value, 10, radix_prefixed_or_marked, 0);
        if (value >= 0)
            return value;
        directive.left_justified = true;
        return -static_cast<long long>(value);
    }
    const char* run = cursor;
    while (is_decimal_digit(*cursor))
        ++cursor;
    directive.text.append(run, cursor);
    return text_to_unsigned(std::string(run, cursor), 10);
}

// Reads from the '%' at cursor up to and including the conversion letter.
conversion read_conversion(const char*& cursor, argument_list& arguments)
{
    conversion directive;
    ++cursor;
    while (is_flag(*cursor)) {
        if (*cursor == '-')
            directive.left_justified = true;
        directive.text += *cursor++;
    }
    directive.width = read_count(cursor, directive, arguments);
    if (*cursor == '.') {
        directive.text += *cursor++;
        directive.precision = read_count(cursor, directive, arguments);
    }
    if (*cursor == 'L' || *cursor == 'h' || *cursor == 'l') {
        directive.length = *cursor;
        directive.text += *cursor++;
    }
    if (*cursor != '\0') {
        directive.letter = *cursor;
        directive.text += *cursor++;
    }
    return directive;
}

// The runtime's text for one conversion, made in a scratch buffer of the given size.
template <typename Value>
std::string print(const conversion& directive, long long scratch_size, Value value)
{
    std::vector<char> scratch(static_cast<std::size_t>(scratch_size));
    std::snprintf(scratch.data(), scratch.size(), directive.text.c_str(), value);
    return scratch.data();
}

long long integer_scratch_size(const conversion& directive)
{
    return std::max({directive.precision, 20LL, directive.width}) + 3;
}

long long floating_scratch_size(const conversion& directive)
{
    const long long precision = directive.precision < 0 ? 6 : directive.precision;
    return std::max(precision + 409, directive.width) + 3;
}

// The value is passed to snprintf as the type that the length letter names.
std::string print_signed(const conversion& directive, int value)
{
    const long long size = integer_scratch_size(directive);
    switch (directive.length) {
    case 'h': {
        const std::uint32_t low_bits = static_cast<std::uint32_t>(value) & 0xFFFFu;
        return print(directive, size,
                     low_bits < 0x8000u ? static_cast<int>(low_bits)
                                        : static_cast<int>(low_bits) - 0x10000);
    }
    case 'l':
        return print(directive, size, static_cast<long>(value));
    case 'L':
        return print(directive, size, static_cast<long long>(value));
    default:
        return print(directive, size, value);
    }
}

std::string print_unsigned(const conversion& directive, int value)
{
    const long long size = integer_scratch_size(directive);
    const unsigned bits = static_cast<unsigned>(value);
    switch (directive.length) {
    case 'l':
        return print(directive, size, static_cast<unsigned long>(bits));
    case 'L':
        return print(directive, size, static_cast<unsigned long long>(bits));
    default:
        return print(directive, size, bits);
    }
}

std::string print_floating(const conversion& directive, double value)
{
    const long long size = floating_scratch_size(directive);
    if (directive.length == 'L')
        return print(directive, size, static_cast<long double>(value));
    return print(directive, size, value);
}

// The first count bytes of text, filled with spaces up to the width.
void append_padded(std::string& output, const conversion& directive, const char* text,
                   std::size_t count)
{
    const std::size_t padding = static_cast<long long>(count) < directive.width
                                    ? static_cast<std::size_t>(directive.width) - count
                                    : 0;
    if (!directive.left_justified)
        output.append(padding, ' ');
    output.append(text, count);
    if (directive.left_justified)
        output.append(padding, ' ');
}

void append_conversion(std::string& output, std::size_t start, const conversion& directive,
                       argument_list& arguments)
{
    switch (directive.letter) {
    case '\0':
        output += directive.text;
        return;
    case 'd':
    case 'i':
        output += print_signed(directive, arguments.next<int>());
        return;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        output += print_unsigned(directive, arguments.next<int>());
        return;
    case 'p':
        output += print(directive, integer_scratch_size(directive), arguments.next<void*>());
        return;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
        output += print_floating(directive, arguments.next<double>());
        return;
    case 'c': {
        const char byte = static_cast<char>(static_cast<unsigned char>(arguments.next<int>()));
        append_padded(output, directive, &byte, 1);
        return;
    }
    case 's': {
        const char* text = arguments.next<const char*>();
        std::size_t count = std::strlen(text);
        if (directive.precision >= 0 &&
            static_cast<unsigned long long>(directive.precision) < count)
            count = static_cast<std::size_t>(directive.precision);
        append_padded(output, directive, text, count);
        return;
    }
    case 'n':
        *arguments.next<int*>() = static_cast<int>(output.size() - start);
        return;
    default:
        output += directive.letter;
        return;
    }
}

}  // namespace

std::string format_text(const char* format, ...)
{
    std::string output;
    va_list arguments;
    va_start(arguments, format);
    append_formatted(output, format, arguments);
    va_end(arguments);
    return output;
}

int append_formatted(std::string& output, const char* format, va_list arguments)
{
    argument_list remaining(arguments);
    const std::size_t start = output.size();
    const char* cursor = format;
    while (*cursor != '\0') {
        if (*cursor == '%') {
            const conversion directive = read_conversion(cursor, remaining);
            append_conversion(output, start, directive, remaining);
        } else if (*cursor == '\\') {
            // An unknown escape drops only the backslash; the byte after it is read as usual.
            ++cursor;
            const char escaped = escaped_byte(*cursor);
            if (escaped != '\0') {
                output += escaped;
                ++cursor;
            }
        } else {
            output += *cursor++;
        }
    }
    return static_cast<int>(output.size() - start);
}
