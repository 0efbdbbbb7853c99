#include "update/pe_image.h"

#include <cstddef>
#include <cstdint>

namespace {

// The DOS header is 64 bytes; its last field, at 0x3C, is the file offset
// of the PE signature (e_lfanew), little-endian.
const std::size_t dos_header_size = 64;
const std::size_t signature_offset_field = 0x3c;
const std::string_view dos_magic("MZ", 2);
const std::string_view pe_signature("PE\0\0", 4);

std::uint32_t little_endian_32(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

bool is_pe_image(std::string_view bytes)
{
    if (bytes.size() < dos_header_size || bytes.substr(0, dos_magic.size()) != dos_magic)
        return false;
    const std::uint32_t offset = little_endian_32(bytes, signature_offset_field);
    return offset <= bytes.size() && bytes.size() - offset >= pe_signature.size() &&
           bytes.substr(offset, pe_signature.size()) == pe_signature;
}
