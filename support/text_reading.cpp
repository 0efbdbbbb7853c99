#include "support/text_reading.h"

#include <stdexcept>

#include "support/characters.h"
#include "support/integer_text.h"

int read_char(smart_ptr_nocopy<ibuff>& input)
{
    ibuff* device = input.get();
    if (device == nullptr)
        return -1;
    int c = device->get_byte();
    if (c == -1)
        return -1;
    if (device->line_mode == 1 && c == '\r') {
        c = '\n';
        if (device->peek_byte() == '\n') {
            device->get_byte();
            ++device->character_count;
            ++device->column;
        }
    }
    ++device->character_count;
    if (c == '\n') {
        ++device->line_number;
        device->column = 0;
    } else {
        ++device->column;
    }
    return c;
}

void skip_blanks(smart_ptr_nocopy<ibuff>& input)
{
    ibuff* device = input.get();
    while (device != nullptr && is_white_space(static_cast<char>(device->peek_byte())))
        read_char(input);
}

std::string read_word(smart_ptr_nocopy<ibuff>& input)
{
    std::string word;
    ibuff* device = input.get();
    if (device == nullptr)
        return word;
    skip_blanks(input);
    for (int c = device->peek_byte(); c != -1 && !is_white_space(static_cast<char>(c));
         c = device->peek_byte())
        word += static_cast<char>(read_char(input) & 0xFF);
    return word;
}

smart_ptr_nocopy<ibuff>& read_integer(smart_ptr_nocopy<ibuff>& input, std::int32_t& target)
{
    const std::string word = read_word(input);
    try {
        target = text_to_signed(word, 0);
    } catch (const std::invalid_argument&) {
        if (input.get() != nullptr)
            input->set_error(format_error);
    }
    return input;
}
