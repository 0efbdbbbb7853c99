#include "net/range_validator.h"

#include <algorithm>

#include "support/characters.h"

namespace {

std::string trimmed(const std::string& text)
{
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// What an entity tag may hold between its quotes: visible characters but
// the quote, and bytes past ASCII.
bool is_tag_character(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte == 0x21 || (byte >= 0x23 && byte != 0x7f);
}

bool is_strong_etag(const std::string& value)
{
    return value.size() >= 2 && value.front() == '"' && value.back() == '"' &&
           std::all_of(value.begin() + 1, value.end() - 1, is_tag_character);
}

// Every form of an HTTP date starts with its day's name and holds no quote
// or slash; anything that does (a quote, "W/") would be taken for an entity
// tag, and a control character could end the header.
bool is_date_character(char c)
{
    return c >= 0x20 && c < 0x7f && c != '"' && c != '/';
}

bool is_date(const std::string& value)
{
    return !value.empty() && is_ascii_letter(value.front()) &&
           std::all_of(value.begin(), value.end(), is_date_character);
}

}  // namespace

std::string range_validator(const std::string& etag, const std::string& last_modified)
{
    std::string tag = trimmed(etag);
    if (is_strong_etag(tag))
        return tag;
    std::string date = trimmed(last_modified);
    return is_date(date) ? date : "";
}

bool is_answer_under(const std::string& validator, const std::string& etag,
                     const std::string& last_modified)
{
    if (validator.empty())
        return false;
    return trimmed(is_strong_etag(validator) ? etag : last_modified) == validator;
}
