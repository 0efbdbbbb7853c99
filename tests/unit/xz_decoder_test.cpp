// The .xz decoder against files that xz made when the tests were built
// (make_xz_vectors): what it must decode, what xz writes only when asked for
// what the server never asks, and damaged forms; and decoded while the body
// arrives, read by read as a transfer fills it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "update/decode_while_arriving.h"
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

class CountingWindow final : public ProgressSink {
public:
    void bytes_arrived(std::size_t, std::size_t) override { ++reports; }
    bool pump_messages() override { return true; }
    bool is_cancelled() const override { return false; }
    int reports = 0;
};

// Appends bytes[from, to) to body a read of at most 1 KiB at a time.
void arrive(MemoryStream& body, const std::string& bytes, std::size_t from, std::size_t to,
            ProgressSink& sink)
{
    for (std::size_t at = from; at < to; at += 1024) {
        body.insert(body.end(), bytes.begin() + at, bytes.begin() + std::min(at + 1024, to));
        sink.bytes_arrived(body.size(), bytes.size());
    }
}

TEST(DecodeWhileArriving, MakesTheFileOfTheBodyThatArrivedEvenWhenItStartedOver)
{
    const std::string raw = read_vector("program_x86.raw");
    const std::string stream = read_vector("program_x86.xz");
    ASSERT_GT(stream.size(), 4096u);
    std::string damaged = stream;
    damaged[100] = static_cast<char>(damaged[100] ^ 1);
    // Before the good body: nothing, half a damaged one, or less than a read of it.
    for (std::size_t before : {std::size_t(0), stream.size() / 2, std::size_t(500)}) {
        MemoryStream body;
        CountingWindow window;
        DecodeWhileArriving decoding(window, body, stream.size(), raw.size());
        arrive(body, damaged, 0, before, decoding);
        body.clear();
        arrive(body, stream, 0, stream.size(), decoding);
        std::string made;
        EXPECT_TRUE(decoding.finish(made)) << before;
        EXPECT_TRUE(made == raw) << before << ": " << made.size() << " bytes";
        EXPECT_EQ(window.reports, static_cast<int>((before + 1023) / 1024 + (stream.size() + 1023) / 1024));
    }
    MemoryStream body;
    CountingWindow window;
    DecodeWhileArriving decoding(window, body, stream.size(), raw.size());
    arrive(body, damaged, 0, damaged.size(), decoding);
    std::string made;
    EXPECT_FALSE(decoding.finish(made));
}

}  // namespace
