// The .xz decoder against files that xz made when the tests were built
// (make_xz_vectors): what it must decode, what xz writes only when asked for
// what the server never asks, and damaged forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "update/xz_decoder.h"

namespace {

std::string read_vector(const std::string& name)
{
    std::string bytes;
    if (FILE* file = std::fopen((std::string(XZ_VECTORS) + "/" + name).c_str(), "rb")) {
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            bytes.append(buffer, got);
        std::fclose(file);
    }
    return bytes;
}

std::vector<std::string> names_in(const std::string& list_name)
{
    std::vector<std::string> names;
    const std::string list = read_vector(list_name);
    for (std::size_t at = 0, end; (end = list.find('\n', at)) != std::string::npos; at = end + 1)
        names.push_back(list.substr(at, end - at));
    return names;
}

TEST(XzDecoder, DecodesWhatXzMade)
{
    const std::vector<std::string> names = names_in("cases");
    ASSERT_GE(names.size(), 17u) << "no vectors in " << XZ_VECTORS;
    for (const std::string& name : names) {
        const std::string raw = read_vector(name + ".raw");
        const std::string stream = read_vector(name + ".xz");
        std::string made = "old contents";
        EXPECT_TRUE(decode_xz(stream, raw.size(), made)) << name;
        EXPECT_TRUE(made == raw) << name << ": " << made.size() << " bytes, not " << raw.size();
        if (!raw.empty()) {
            EXPECT_FALSE(decode_xz(stream, raw.size() - 1, made)) << name;
        }
    }
}

TEST(XzDecoder, RefusesWhatTheServerNeverWrites)
{
    const std::vector<std::string> names = names_in("refused");
    ASSERT_EQ(names.size(), 11u);
    for (const std::string& name : names) {
        const std::string raw = read_vector(name + ".raw");
        std::string made;
        EXPECT_FALSE(decode_xz(read_vector(name + ".xz"), raw.size() + 100, made)) << name;
    }
}

// Every field of a stream is covered by a CRC32, the block's check or the
// index: a change of any byte, or a cut anywhere, is refused.
TEST(XzDecoder, RefusesEveryChangedByteAndEveryCut)
{
    for (const char* name : {"empty", "one_byte", "small_blocks"}) {
        const std::string raw = read_vector(std::string(name) + ".raw");
        const std::string stream = read_vector(std::string(name) + ".xz");
        ASSERT_FALSE(stream.empty()) << name;
        std::string made;
        for (std::size_t at = 0; at < stream.size(); ++at) {
            std::string changed = stream;
            changed[at] = static_cast<char>(changed[at] ^ (1 << (at % 8)));
            EXPECT_FALSE(decode_xz(changed, raw.size(), made)) << name << " changed at " << at;
            EXPECT_FALSE(decode_xz(stream.substr(0, at), raw.size(), made)) << name << " cut at " << at;
        }
    }
}

}  // namespace
