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

void put(std::string& bytes, std::size_t at, std::size_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// A 64-bit image of headers alone ending in its certificate table, at 512:
// one entry holding a DER SEQUENCE of 1000 bytes followed by tail.
std::string signed_image(const std::string& tail)
{
    std::string bytes = image(64, 512, 64) + std::string(1008, '\x5a') + tail;
    put(bytes, 84, 240, 2);       // the optional header's size
    put(bytes, 88, 0x20b, 2);     // its magic
    put(bytes, 196, 16, 4);       // the count of data directories
    put(bytes, 232, 512, 4);      // the certificate table's offset and size
    put(bytes, 236, 1008 + tail.size(), 4);
    put(bytes, 512, 1008 + tail.size(), 4);
    bytes.replace(516, 8, std::string("\x00\x02\x02\x00\x30\x82\x03\xe4", 8));
    return bytes;
}

bool sound(const std::string& bytes)
{
    std::string exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    return has_sound_certificate_table(exact);
}

TEST(CertificateTable, OneSignatureAndItsAlignmentPaddingAreSound)
{
    for (std::size_t padding = 0; padding <= 7; ++padding)
        EXPECT_TRUE(sound(signed_image(std::string(padding, '\0')))) << padding;
}

TEST(CertificateTable, AnotherFormHiddenBytesOrLengthsOutsideTheirPlaceAreNot)
{
    const std::string good = signed_image(std::string(4, '\0'));
    const std::pair<std::size_t, std::string> changes[] = {
        {518, "\x01"},                       // X.509, not PKCS#7
        {517, "\x01"},                       // revision 0x0100
        {512, std::string("\x07\0", 2)},     // an entry shorter than its header
        {512, std::string("\xf5\x03", 2)},   // one longer than the table
        {523, "\xe9"},                       // a SEQUENCE longer than the entry
        {521, "\x80"},                       // of no definite length
        {236, std::string("\xf5\x03", 2)},   // a table longer than the file
        {232, std::string(8, '\0')},         // no table at all
    };
    for (const auto& change : changes)
        EXPECT_FALSE(sound(std::string(good).replace(change.first, change.second.size(),
                                                      change.second)))
            << change.first;
    for (const std::string& tail : {std::string(8, '\0'), std::string("\0\0\0x", 4)})
        EXPECT_FALSE(sound(signed_image(tail)));
    EXPECT_FALSE(sound(good + '\0'));
    for (std::size_t size = 0; size < good.size(); ++size)
        ASSERT_FALSE(sound(good.substr(0, size))) << size << " bytes";
}

}  // namespace
