#include "support/text_fields.h"

#include "support/characters.h"


std::string trim_white_space(const std::string& text)
{
    std::size_t first = 0;
    std::size_t end = text.size();
    while (first < end && is_white_space(text[first]))
        ++first;
    while (end > first && is_white_space(text[end - 1]))
        --end;
    return text.substr(first, end - first);
}

std::vector<std::string> split_text(const std::string& text, const std::string& separator)
{
    if (text.empty())
        return {};
    // An empty separator would be found at every position without advancing.
    if (separator.empty())
        return {text};

    std::vector<std::string> fields;
    std::size_t position = 0;
    for (;;) {
        const std::size_t found = text.find(separator, position);
        if (found == std::string::npos) {
            fields.push_back(text.substr(position));
            return fields;
        }
        fields.push_back(text.substr(position, found - position));
        position = found + separator.size();
    }
}
