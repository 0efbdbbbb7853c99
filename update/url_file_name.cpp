#include "update/url_file_name.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/hex.h"

namespace {

// The characters of code page 1250's bytes 0x80 to 0xFF; 0 where a byte
// stands for none.
const std::uint16_t code_page_1250_high[128] = {
    0x20AC, 0x0000, 0x201A, 0x0000, 0x201E, 0x2026, 0x2020, 0x2021,
    0x0000, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

bool percent_decode(const std::string& text, std::string& bytes)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        if (text.size() - i < 3 || hex_digit_value(text[i + 1]) < 0 || hex_digit_value(text[i + 2]) < 0)
            return false;
        bytes += static_cast<char>(hex_digit_value(text[i + 1]) * 16 + hex_digit_value(text[i + 2]));
        i += 2;
    }
    return true;
}

// The characters of bytes when they are well-formed UTF-8: shortest forms
// only, no surrogates, nothing past U+10FFFF.
bool decode_utf8(const std::string& bytes, std::vector<std::uint32_t>& characters)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 1;
        std::uint32_t value = lead;
        std::uint32_t least = 0;
        if (lead >= 0xF8) {
            return false;
        } else if (lead >= 0xF0) {
            length = 4;
            value = lead & 0x07;
            least = 0x10000;
        } else if (lead >= 0xE0) {
            length = 3;
            value = lead & 0x0F;
            least = 0x800;
        } else if (lead >= 0xC0) {
            length = 2;
            value = lead & 0x1F;
            least = 0x80;
        } else if (lead >= 0x80) {
            return false;  // a continuation byte without its lead
        }
        if (bytes.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        characters.push_back(value);
        i += length;
    }
    return true;
}

bool encode_code_page_1250(const std::vector<std::uint32_t>& characters, std::string& text)
{
    for (std::uint32_t c : characters) {
        if (c < 0x80) {
            text += static_cast<char>(c);
            continue;
        }
        std::size_t byte = 0;
        while (byte < 128 && code_page_1250_high[byte] != c)
            ++byte;
        if (byte == 128)
            return false;
        text += static_cast<char>(0x80 + byte);
    }
    return true;
}

}  // namespace

bool file_name_from_url_path(const std::string& object_path, std::string& name)
{
    std::string bytes;
    if (!percent_decode(object_path.substr(object_path.rfind('/') + 1), bytes))
        return false;
    std::vector<std::uint32_t> characters;
    if (!decode_utf8(bytes, characters)) {
        name = bytes;
        return true;
    }
    std::string converted;
    if (!encode_code_page_1250(characters, converted))
        return false;
    name = converted;
    return true;
}
