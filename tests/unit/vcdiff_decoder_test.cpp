// The patch decoder against patches that xdelta3 made when the tests were
// built (make_vcdiff_vectors), against small patches written here by hand
// for what xdelta3 never writes, and against damaged forms of both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "update/vcdiff_decoder.h"

namespace {

std::string read_vector(const std::string& name)
{
    std::string bytes;
    if (FILE* file = std::fopen((std::string(VCDIFF_VECTORS) + "/" + name).c_str(), "rb")) {
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            bytes.append(buffer, got);
        std::fclose(file);
    }
    return bytes;
}

std::vector<std::string> vector_names()
{
    std::vector<std::string> names;
    std::string list = read_vector("cases");
    for (std::size_t at = 0, end; (end = list.find('\n', at)) != std::string::npos; at = end + 1)
        names.push_back(list.substr(at, end - at));
    return names;
}

TEST(VcdiffDecoder, RebuildsWhatXdelta3Made)
{
    const std::vector<std::string> names = vector_names();
    ASSERT_GE(names.size(), 14u) << "no vectors in " << VCDIFF_VECTORS;
    for (const std::string& name : names) {
        const std::string source = read_vector(name + ".source");
        const std::string target = read_vector(name + ".target");
        const std::string patch = read_vector(name + ".patch");
        ASSERT_FALSE(patch.empty()) << name;
        std::string made = "old contents";
        EXPECT_TRUE(apply_vcdiff_patch(source, patch, target.size(), made)) << name;
        EXPECT_TRUE(made == target)
            << name << ": " << made.size() << " bytes, not " << target.size();
        if (!target.empty()) {
            EXPECT_FALSE(apply_vcdiff_patch(source, patch, target.size() - 1, made)) << name;
        }
    }
}

std::string integer(std::uint64_t value)
{
    std::string digits(1, static_cast<char>(value & 0x7F));
    while (value >>= 7)
        digits.insert(digits.begin(), static_cast<char>(0x80 | (value & 0x7F)));
    return digits;
}

const std::string header = std::string("\xD6\xC3\xC4\x00\x00", 5);

// Instruction codes of the default code table.
const char add_8 = 9;
const char copy_6_self = 22;
const char copy_5_here = 37;
const char copy_4_first_near = 52;
const char add_1_copy_4_first_same = static_cast<char>(235);

struct HandWindow {
    unsigned char indicator = 0;
    std::uint64_t segment_size = 0;
    std::uint64_t segment_position = 0;
    std::uint64_t target_size = 0;
    std::string data;
    std::string instructions;
    std::string addresses;
    unsigned char delta_indicator = 0;

    std::string encoded() const
    {
        std::string delta = integer(target_size) + static_cast<char>(delta_indicator) +
                            integer(data.size()) + integer(instructions.size()) +
                            integer(addresses.size()) + data + instructions + addresses;
        std::string segment;
        if (indicator & 0x03)
            segment = integer(segment_size) + integer(segment_position);
        return static_cast<char>(indicator) + segment + integer(delta.size()) + delta;
    }
};

HandWindow eight_letters()
{
    HandWindow window;
    window.target_size = 8;
    window.data = "abcdefgh";
    window.instructions = {add_8};
    return window;
}

// Copies from the eight letters of the first window as its segment (a
// target segment, which xdelta3 never writes), then across into its own
// bytes, from the same and the near cache, and over the bytes being written.
HandWindow copies_from_the_first()
{
    HandWindow window;
    window.indicator = 0x02;
    window.segment_size = 8;
    window.target_size = 26;
    window.data = "X";
    window.instructions = {copy_6_self, copy_6_self, add_1_copy_4_first_same, copy_5_here,
                           copy_4_first_near};
    window.addresses = integer(2) + integer(6) + '\x02' + integer(1) + integer(1);
    return window;
}

// abcdefgh, then cdefgh ghcdef X cdef fffff defg.
const std::string made_by_hand = "abcdefghcdefghghcdefXcdeffffffdefg";

bool decodes(const std::string& patch, std::size_t limit = made_by_hand.size())
{
    std::string target;
    return apply_vcdiff_patch("", patch, limit, target) && target == made_by_hand;
}

bool refuses(const std::string& patch, const std::string& source = "")
{
    std::string target;
    return !apply_vcdiff_patch(source, patch, made_by_hand.size(), target);
}

std::string two_windows(const HandWindow& second)
{
    return header + eight_letters().encoded() + second.encoded();
}

TEST(VcdiffDecoder, FollowsEveryAddressModeAndTargetSegments)
{
    EXPECT_TRUE(decodes(two_windows(copies_from_the_first())));
    EXPECT_FALSE(decodes(two_windows(copies_from_the_first()), made_by_hand.size() - 1));
}

TEST(VcdiffDecoder, RefusesWhatItDoesNotKnowOrWhatReachesOutside)
{
    const std::string windows = eight_letters().encoded() + copies_from_the_first().encoded();
    for (char indicator : {'\x01', '\x02', '\x08', '\x80'})
        EXPECT_TRUE(refuses(header.substr(0, 4) + indicator + windows)) << int(indicator);
    EXPECT_TRUE(refuses(std::string("\xD6\xC3\xC4\x01\x00", 5) + windows));

    const HandWindow good = copies_from_the_first();
    const auto refuses_second = [&good](void (*change)(HandWindow&),
                                        const std::string& source = "") {
        HandWindow second = good;
        change(second);
        return refuses(two_windows(second), source);
    };
    // Two segments, when either would do.
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.indicator = 0x03; }, "abcdefgh"));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.indicator = 0x08; }));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.indicator = 0x01; }));  // the source is empty
    // More than the target made so far.
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.segment_size = 9; }));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.segment_position = 1; }));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.delta_indicator = 1; }));
    // The last copy ending past the window, and a byte never written.
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.target_size = 25; }));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.target_size = 27; }));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.data += 'Y'; }));
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.addresses += '\x00'; }));
    // A copy from the first byte it writes, and one from before the segment.
    EXPECT_TRUE(
        refuses_second([](HandWindow& w) { w.addresses = integer(8) + w.addresses.substr(1); }));
    EXPECT_TRUE(refuses_second(
        [](HandWindow& w) { w.addresses = w.addresses.substr(0, 3) + integer(26) + integer(1); }));
    // A near address whose sum with its offset passes 64 bits.
    EXPECT_TRUE(refuses_second(
        [](HandWindow& w) { w.addresses = w.addresses.substr(0, 4) + integer(UINT64_MAX); }));
    // A run whose size and byte are missing.
    EXPECT_TRUE(refuses_second([](HandWindow& w) { w.instructions += '\x00'; }));

    std::string longer = good.encoded();  // a delta one byte longer than its sections
    longer[3] = static_cast<char>(longer[3] + 1);
    EXPECT_TRUE(refuses(header + eight_letters().encoded() + longer + '\x00'));
    const std::string patch = two_windows(good);
    EXPECT_TRUE(refuses(patch + '\x00'));
    EXPECT_TRUE(refuses(patch.substr(0, patch.size() - 1)));
    std::string huge_delta_length = header + eight_letters().encoded();
    huge_delta_length[header.size() + 1] = '\x7F';
    EXPECT_TRUE(refuses(huge_delta_length));
    // A segment size past what 64 bits hold, 2 to the 71st, which would wrap to 0.
    HandWindow empty;
    empty.indicator = 0x02;
    std::string huge_segment = empty.encoded();
    huge_segment.replace(1, 1, "\x82" + std::string(9, '\x80') + '\x00');
    EXPECT_FALSE(refuses(header + empty.encoded()));
    EXPECT_TRUE(refuses(header + huge_segment));
}

TEST(VcdiffDecoder, ChecksAWindowsChecksum)
{
    HandWindow window;
    window.target_size = 9;
    window.data = "Wikipedia";
    window.instructions = {10};  // ADD 9
    window.indicator = 0x04;
    std::string patch = window.encoded();
    // The checksum goes after the three section lengths, before the data.
    const std::string adler32 = "\x11\xE6\x03\x98";
    patch.insert(patch.size() - 10, adler32);
    patch[1] = static_cast<char>(patch[1] + 4);
    std::string target;
    EXPECT_TRUE(apply_vcdiff_patch("", header + patch, 9, target));
    EXPECT_EQ(target, "Wikipedia");
    patch[patch.size() - 10] ^= 1;  // the data's first byte
    EXPECT_FALSE(apply_vcdiff_patch("", header + patch, 9, target));
}

// Decoding a damaged patch ends in a refusal or in a target within the
// limit, in room no larger than the limit, and never outside its buffers.
class DamagedPatch {
public:
    DamagedPatch(const std::string& source, std::size_t limit) : source_(source), limit_(limit) {}

    void decode(const std::string& patch)
    {
        std::string target;
        if (apply_vcdiff_patch(source_, patch, limit_, target))
            ASSERT_LE(target.size(), limit_);
        else
            ++refused_;
        ASSERT_LE(target.capacity(), std::max<std::size_t>(limit_, 15));
        ++decoded_;
    }

    int refused() const { return refused_; }
    int decoded() const { return decoded_; }

private:
    const std::string& source_;
    const std::size_t limit_;
    int refused_ = 0;
    int decoded_ = 0;
};

TEST(VcdiffDecoder, RefusesDamagedPatchesCleanly)
{
    std::mt19937 random(3284);
    for (const char* name : {"scattered_changes", "small_windows", "repeated_runs", "short_pieces",
                             "checksums_and_application_header"}) {
        const std::string source = read_vector(std::string(name) + ".source");
        const std::string patch = read_vector(std::string(name) + ".patch");
        ASSERT_FALSE(patch.empty()) << name;
        DamagedPatch damaged(source, read_vector(std::string(name) + ".target").size());
        for (std::size_t at = 0; at < std::min<std::size_t>(patch.size(), 400); ++at) {
            for (int bit = 0; bit < 8; ++bit) {
                std::string flipped = patch;
                flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
                damaged.decode(flipped);
            }
            // A length, or any other field, made as large as an integer can be.
            damaged.decode(patch.substr(0, at) + std::string(9, '\xFF') + '\x7F' +
                           patch.substr(at + 1));
            damaged.decode(patch.substr(0, at) + "\x8F\xFF\xFF\xFF\x7F" + patch.substr(at + 1));
        }
        for (std::size_t size = 0; size < patch.size(); ++size)
            damaged.decode(patch.substr(0, size));
        for (int round = 0; round < 2000; ++round) {
            std::string scrambled = patch;
            const std::size_t at = random() % patch.size();
            for (std::size_t i = at; i < std::min(patch.size(), at + 1 + random() % 16); ++i)
                scrambled[i] = static_cast<char>(random());
            damaged.decode(scrambled);
        }
        if (HasFatalFailure())
            return;
        EXPECT_GT(damaged.refused(), damaged.decoded() / 4) << name;  // damage the decoder saw
    }
}

}  // namespace
