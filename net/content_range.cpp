#include "net/content_range.h"

#include "support/characters.h"
#include "support/decimal_text.h"

namespace {

// Reads the decimal digits at position at of text up to the first other
// character; false for none, or for a number past 2^63 (no resource held in
// memory comes near it).
bool read_number(const std::string& text, std::size_t& at, std::uint64_t& number)
{
    const std::string_view rest = std::string_view(text).substr(at);
    const std::size_t count = decimal_digits_at_start(rest);
    at += count;
    return read_decimal(rest.substr(0, count), std::uint64_t(1) << 63, number);
}

bool read_char(const std::string& text, std::size_t& at, char wanted)
{
    if (at >= text.size() || text[at] != wanted)
        return false;
    ++at;
    return true;
}

bool starts_with_unit(const std::string& text)
{
    const std::string unit = "bytes ";
    if (text.size() < unit.size())
        return false;
    for (std::size_t i = 0; i < unit.size(); ++i)
        if (to_lower_case(text[i]) != unit[i])
            return false;
    return true;
}

}  // namespace

bool parse_content_range(const std::string& value, ContentRange& range)
{
    if (!starts_with_unit(value))
        return false;
    std::size_t at = 6;
    ContentRange read;
    if (!read_number(value, at, read.first) || !read_char(value, at, '-') ||
        !read_number(value, at, read.last) || !read_char(value, at, '/') || read.first > read.last)
        return false;
    if (read_char(value, at, '*')) {
        read.length_known = false;
    } else {
        if (!read_number(value, at, read.length) || read.last >= read.length)
            return false;
        read.length_known = true;
    }
    if (at != value.size())
        return false;
    range = read;
    return true;
}

bool is_rest_from(const ContentRange& range, std::uint64_t first, std::uint64_t size)
{
    return range.first == first && range.last + 1 == size &&
           (!range.length_known || range.length == size);
}
