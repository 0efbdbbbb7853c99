// The rules the program shares with the server and the tests' own clients,
// checked against the vector files in tests/data that their tests read too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "update/check_request.h"
#include "update/pe_image.h"
#include "update/rollout_group.h"

namespace {

using Fields = std::vector<std::string>;

// The lines of a vector file split at spaces, without comments and blank lines.
std::vector<Fields> vectors(const std::string& name)
{
    std::ifstream file(std::string(SHARED_VECTORS) + "/" + name);
    std::vector<Fields> lines;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        Fields fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        if (!fields.empty() && fields[0][0] != '#')
            lines.push_back(fields);
    }
    return lines;
}

// The bytes a line of pe_images.txt describes.
std::string described_image(const Fields& line)
{
    const std::size_t size = std::stoul(line[0]);
    const auto offset = static_cast<std::uint32_t>(std::stoull(line[2]));
    std::string bytes = (line[1] + std::string(size, '\x90')).substr(0, size);
    for (std::size_t i = 0; i < 4 && 0x3c + i < size; ++i)
        bytes[0x3c + i] = static_cast<char>((offset >> (8 * i)) & 0xff);
    if (line[3] != "none" && std::stoul(line[3]) + 4 <= size)
        bytes.replace(std::stoul(line[3]), 4, std::string("PE\0\0", 4));
    bytes.shrink_to_fit();
    return bytes;
}

// Whether the program's check ever names text as its version.
bool written_as_version(const std::string& text)
{
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < INT32_MIN || value > INT32_MAX)
        return false;
    return version_query(static_cast<std::int32_t>(value)) == "wersja=" + text;
}

}  // namespace

TEST(SharedRules, RolloutGroups)
{
    const std::vector<Fields> lines = vectors("rollout_groups.txt");
    ASSERT_GE(lines.size(), 5u);
    ASSERT_EQ(lines[0][0], "groups");
    const int groups = std::stoi(lines[0][1]);
    EXPECT_EQ(fixed_rollout_group, groups - 1);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const Fields& line = lines[i];
        ASSERT_EQ(line.size(), 4u);
        const int group = rollout_group(line[0].c_str(), std::stoi(line[1]), line[2] == "-" ? "" : line[2]);
        EXPECT_EQ(group, std::stoi(line[3])) << line[0] << " " << line[1] << " " << line[2];
    }
}

TEST(SharedRules, WindowsImages)
{
    const std::vector<Fields> lines = vectors("pe_images.txt");
    ASSERT_GE(lines.size(), 10u);
    for (const Fields& line : lines) {
        ASSERT_EQ(line.size(), 5u);
        EXPECT_EQ(is_pe_image(described_image(line)), line[4] == "yes")
            << line[0] << " " << line[1] << " " << line[2] << " " << line[3];
    }
}

TEST(SharedRules, VersionTexts)
{
    const std::vector<Fields> lines = vectors("version_texts.txt");
    ASSERT_GE(lines.size(), 10u);
    for (const Fields& line : lines) {
        ASSERT_EQ(line.size(), 2u);
        EXPECT_EQ(written_as_version(line[0]), line[1] == "yes") << line[0];
    }
}
