// Whether bytes are a Windows program or library: the test program's own
// image and a minimal header are; truncated headers, offsets outside the
// bytes and wrong signatures are not, and nothing past the bytes is read
// (every case lies in a buffer of exactly its size). The same for a
// certificate table that holds one signature and nothing else.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "update/pe_image.h"

namespace {

// A 64-byte DOS header whose e_lfanew is offset, then filler up to size
// bytes, with "PE\0\0" at pe_at when it fits.
std::string image(std::uint32_t offset, std::size_t size, std::size_t pe_at)
{
    std::string bytes(size, '\x90');
    bytes.replace(0, 2, "MZ");
    for (std::size_t i = 0; i < 4 && 0x3c + i < size; ++i)
        bytes[0x3c + i] = static_cast<char>((offset >> (8 * i)) & 0xff);
    if (pe_at + 4 <= size)
        bytes.replace(pe_at, 4, std::string("PE\0\0", 4));
    return bytes;
}

// Judged from a heap copy of exactly the bytes.
bool judged(const std::string& bytes)
{
    std::string exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    return is_pe_image(exact);
}

std::string own_image()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::ifstream file(std::string(path, length), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(PeImage, ProgramsAndMinimalHeadersAre)
{
    EXPECT_TRUE(judged(own_image()));
    EXPECT_TRUE(judged(image(64, 68, 64)));
    EXPECT_TRUE(judged(image(64, 4096, 64)));
    // The signature may lie anywhere in the file, its last four bytes too.
    EXPECT_TRUE(judged(image(4092, 4096, 4092)));
    EXPECT_TRUE(judged(image(200, 4096, 200)));
}

TEST(PeImage, TruncatedHeadersAreNot)
{
    const std::string whole = image(64, 68, 64);
    for (std::size_t size = 0; size < whole.size(); ++size)
        EXPECT_FALSE(judged(whole.substr(0, size))) << size << " bytes";
    const std::string distant = image(4000, 4004, 4000);
    for (std::size_t size : {64u, 65u, 3999u, 4000u, 4001u, 4003u})
        EXPECT_FALSE(judged(distant.substr(0, size))) << size << " bytes";
}

TEST(PeImage, OffsetsOutsideTheBytesAreNot)
{
    for (std::uint32_t offset : {4094u, 4095u, 4096u, 4097u, 0x7fffffffu, 0x80000040u, 0xfffffffcu,
                                 0xffffffffu})
        EXPECT_FALSE(judged(image(offset, 4096, 64))) << offset;
    // e_lfanew inside the DOS header points at its own bytes, not at "PE".
    EXPECT_FALSE(judged(image(0, 4096, 64)));
    EXPECT_FALSE(judged(image(0x3c, 4096, 64)));
}

TEST(PeImage, OtherSignaturesAreNot)
{
    std::string bytes = image(64, 4096, 64);
    for (auto change : {std::make_pair(0, 'Z'), std::make_pair(1, 'M'), std::make_pair(0, 'm'),
                        std::make_pair(64, 'p'), std::make_pair(66, '\x01'), std::make_pair(67, ' ')}) {
        std::string changed = bytes;
        changed[change.first] = change.second;
        EXPECT_FALSE(judged(changed)) << change.first;
    }
    // A signature where e_lfanew does not point; a DOS program with no PE part.
    EXPECT_FALSE(judged(image(128, 4096, 64)));
    EXPECT_FALSE(judged(image(64, 4096, 4096)));
    EXPECT_FALSE(judged("MZ"));
    EXPECT_FALSE(judged(std::string("PE\0\0", 4) + std::string(100, 'x')));
    EXPECT_FALSE(judged("plain text that is no program at all, even when it is long enough to be one\r\n"));
}

// A 64-bit (or 32-bit) image of headers alone whose certificate table, at
// 512, holds one entry: dwLength, revision, type, then a DER SEQUENCE of
// der_size bytes and the tail; the directory gives the table's size as
// entry length plus extra.
struct Table {
    std::uint32_t revision = 0x0200;
    std::uint32_t type = 2;
    std::size_t der_size = 1000;
    std::string tail = std::string(4, '\0');
    std::size_t extra = 0;
    bool wide = true;
};

void put(std::string& bytes, std::size_t at, std::uint32_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

std::string signed_image(const Table& table)
{
    std::string bytes = image(64, 512, 64);
    const std::size_t optional = 64 + 4 + 20;
    const std::size_t directories = optional + (table.wide ? 112 : 96);
    put(bytes, 64 + 4 + 16, table.wide ? 240 : 224, 2);
    put(bytes, optional, table.wide ? 0x20b : 0x10b, 2);
    put(bytes, directories - 4, 16, 4);
    std::string der = "\x30\x82" + std::string(1, static_cast<char>((table.der_size - 4) >> 8)) +
                      std::string(1, static_cast<char>((table.der_size - 4) & 0xff));
    der += std::string(table.der_size - 4, '\x5a');
    std::string entry(8, '\0');
    put(entry, 0, static_cast<std::uint32_t>(8 + der.size() + table.tail.size()), 4);
    put(entry, 4, table.revision, 2);
    put(entry, 6, table.type, 2);
    entry += der + table.tail;
    put(bytes, directories + 32, 512, 4);
    put(bytes, directories + 36, static_cast<std::uint32_t>(entry.size() + table.extra), 4);
    return bytes + entry;
}

bool sound(const std::string& bytes)
{
    std::string exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    return has_sound_certificate_table(exact);
}

TEST(CertificateTable, OneSignatureWithItsPaddingIsSound)
{
    for (std::size_t padding = 0; padding <= 7; ++padding) {
        Table table;
        table.tail = std::string(padding, '\0');
        EXPECT_TRUE(sound(signed_image(table))) << padding;
        table.wide = false;
        EXPECT_TRUE(sound(signed_image(table))) << padding;
    }
    // The padding after the entry's own length, inside the table.
    Table outside;
    outside.tail = "";
    outside.extra = 4;
    EXPECT_TRUE(sound(signed_image(outside) + std::string(4, '\0')));
}

TEST(CertificateTable, OtherFormsOrHiddenBytesAreNot)
{
    Table x509;
    x509.type = 1;
    Table revision;
    revision.revision = 0x0100;
    Table eight_zeros;
    eight_zeros.tail = std::string(8, '\0');
    Table payload;
    payload.tail = std::string("\0\0\0x", 4);
    Table second_entry;
    second_entry.tail = std::string("\x10\0\0\0\0\x02\x02\0", 8) + std::string(8, '\0');
    for (const Table& table : {x509, revision, eight_zeros, payload, second_entry})
        EXPECT_FALSE(sound(signed_image(table)));
    const std::string good = signed_image(Table());
    // Bytes after the table, or a table that says it runs past the file.
    EXPECT_FALSE(sound(good + '\0'));
    Table longer;
    longer.extra = 8;
    EXPECT_FALSE(sound(signed_image(longer)));
    for (std::size_t size = 0; size < good.size(); ++size)
        ASSERT_FALSE(sound(good.substr(0, size))) << size << " bytes";
}

TEST(CertificateTable, LengthsOutsideTheirPlaceAreNot)
{
    const std::string good = signed_image(Table());
    const std::size_t directory = 64 + 4 + 20 + 112 + 32;
    std::string unsigned_image = good;
    put(unsigned_image, directory, 0, 8);
    std::string short_entry = good;
    put(short_entry, 512, 7, 4);
    std::string entry_past_table = good;
    put(entry_past_table, 512, static_cast<std::uint32_t>(good.size() - 512 + 1), 4);
    // The DER length says 5 bytes more than the entry holds, or 4 GiB.
    std::string der_past_entry = good;
    der_past_entry[512 + 8 + 3] = static_cast<char>(0xe9);
    std::string der_past_entry_big = good;
    der_past_entry_big.replace(512 + 8 + 1, 5, "\x84\xff\xff\xff\xff");
    std::string indefinite = good;
    indefinite[512 + 8 + 1] = static_cast<char>(0x80);
    std::string no_sequence = good;
    no_sequence[512 + 8] = 0x31;
    std::string few_directories = good;
    put(few_directories, 64 + 4 + 20 + 108, 4, 4);
    std::string wrong_magic = good;
    put(wrong_magic, 64 + 4 + 20, 0x107, 2);
    std::string huge_offset = good;
    put(huge_offset, directory, 0xfffffff8u, 4);
    for (const std::string& bytes : {unsigned_image, short_entry, entry_past_table, der_past_entry,
                                     der_past_entry_big, indefinite, no_sequence, few_directories,
                                     wrong_magic, huge_offset})
        EXPECT_FALSE(sound(bytes));
}

}  // namespace
