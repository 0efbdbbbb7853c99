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

// The file header follows the signature; its size of the optional header is
// at 16. The optional header's data directories (8 bytes each, after their
// count) start at 96 in a 32-bit image and at 112 in a 64-bit one; the
// certificate table is the fifth, its address a file offset.
const std::size_t file_header_size = 20;
const std::size_t optional_size_field = 16;
const std::uint16_t magic_32 = 0x10b;
const std::uint16_t magic_64 = 0x20b;
const std::size_t directories_32 = 96;
const std::size_t directories_64 = 112;
const std::size_t certificate_directory = 4;

// A WIN_CERTIFICATE: length, revision and type, then the signature.
const std::size_t certificate_header_size = 8;
const std::uint16_t certificate_revision = 0x0200;
const std::uint16_t pkcs7_signed_data = 2;
const std::size_t most_padding = 7;

std::uint32_t little_endian(std::string_view bytes, std::size_t at, std::size_t size)
{
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint32_t little_endian_32(std::string_view bytes, std::size_t at)
{
    return little_endian(bytes, at, 4);
}

std::uint16_t little_endian_16(std::string_view bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(little_endian(bytes, at, 2));
}

// The part of bytes at offset of size bytes, when all of it lies inside.
bool is_inside(std::string_view bytes, std::uint64_t offset, std::uint64_t size)
{
    return offset <= bytes.size() && size <= bytes.size() - offset;
}

// The offset of the certificate table's directory entry, or 0 when the
// optional header has none.
std::size_t certificate_directory_at(std::string_view bytes)
{
    const std::size_t file_header =
        little_endian_32(bytes, signature_offset_field) + pe_signature.size();
    if (!is_inside(bytes, file_header, file_header_size))
        return 0;
    const std::size_t optional = file_header + file_header_size;
    const std::size_t optional_size = little_endian_16(bytes, file_header + optional_size_field);
    if (!is_inside(bytes, optional, optional_size) || optional_size < 2)
        return 0;
    const std::uint16_t magic = little_endian_16(bytes, optional);
    const std::size_t directories = magic == magic_32   ? directories_32
                                    : magic == magic_64 ? directories_64
                                                        : 0;
    if (directories == 0 || directories + (certificate_directory + 1) * 8 > optional_size ||
        little_endian_32(bytes, optional + directories - 4) <= certificate_directory)
        return 0;
    return optional + directories + certificate_directory * 8;
}

// The size of the DER element at the start of der (a SEQUENCE, in definite
// form with at most four length bytes), or 0 for anything else.
std::uint64_t der_sequence_size(std::string_view der)
{
    if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30)
        return 0;
    const unsigned char first = static_cast<unsigned char>(der[1]);
    if (first < 0x80)
        return 2u + first;
    const std::size_t count = first & 0x7f;
    if (count == 0 || count > 4 || der.size() < 2 + count)
        return 0;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < count; ++i)
        length = (length << 8) | static_cast<unsigned char>(der[2 + i]);
    return 2 + count + length;
}

bool is_zero_padding(std::string_view tail)
{
    return tail.size() <= most_padding && tail.find_first_not_of('\0') == std::string_view::npos;
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

bool has_sound_certificate_table(std::string_view bytes)
{
    const std::size_t directory = is_pe_image(bytes) ? certificate_directory_at(bytes) : 0;
    if (directory == 0)
        return false;
    const std::uint64_t table = little_endian_32(bytes, directory);
    const std::uint64_t table_size = little_endian_32(bytes, directory + 4);
    if (table_size < certificate_header_size || table + table_size != bytes.size())
        return false;
    const std::string_view entry = bytes.substr(table);
    const std::uint32_t length = little_endian_32(entry, 0);
    if (length < certificate_header_size || length > entry.size() ||
        little_endian_16(entry, 4) != certificate_revision ||
        little_endian_16(entry, 6) != pkcs7_signed_data)
        return false;
    const std::string_view signed_data = entry.substr(certificate_header_size);
    const std::uint64_t der_size =
        der_sequence_size(signed_data.substr(0, length - certificate_header_size));
    return der_size != 0 && der_size <= length - certificate_header_size &&
           is_zero_padding(signed_data.substr(der_size));
}
