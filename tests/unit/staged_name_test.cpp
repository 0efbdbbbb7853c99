#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/hex.h"
#include "update/staged_name.h"

namespace {

struct NameCase {
    std::string verdict;
    std::string name;
    int line;
};

// \\, \t and \xHH as the list's header describes them.
std::string unescape(const std::string& text)
{
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            name += text[i];
        } else if (text[i + 1] == 't') {
            name += '\t';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size() && hex_digit_value(text[i + 2]) >= 0 &&
                   hex_digit_value(text[i + 3]) >= 0) {
            name += static_cast<char>(hex_digit_value(text[i + 2]) * 16 + hex_digit_value(text[i + 3]));
            i += 3;
        } else {
            name += text[i + 1];
            ++i;
        }
    }
    return name;
}

// The list shared with the server's tests (tests/data/file_names.txt).
std::vector<NameCase> read_name_list()
{
    std::vector<NameCase> cases;
    FILE* file = std::fopen(FILE_NAMES_LIST, "rb");
    if (!file)
        return cases;
    std::string line;
    int number = 0;
    for (int c = std::fgetc(file);; c = std::fgetc(file)) {
        if (c != '\n' && c != EOF) {
            line += static_cast<char>(c);
            continue;
        }
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] != '#') {
            std::size_t space = line.find(' ');
            std::string name = space == std::string::npos ? "" : line.substr(space + 1);
            cases.push_back({line.substr(0, space), unescape(name), number});
        }
        line.clear();
        if (c == EOF)
            break;
    }
    std::fclose(file);
    return cases;
}

}  // namespace

TEST(StagedName, AgreesWithTheSharedNameList)
{
    std::vector<NameCase> cases = read_name_list();
    ASSERT_GE(cases.size(), 40u) << "cannot read " << FILE_NAMES_LIST;
    for (const NameCase& c : cases) {
        ASSERT_TRUE(c.verdict == "accept" || c.verdict == "refuse" || c.verdict == "url-refuse")
            << "line " << c.line << ": " << c.verdict;
        // Publishing alone refuses the url-refuse names; the program stages them.
        EXPECT_EQ(is_safe_file_name(c.name), c.verdict != "refuse") << "line " << c.line;
    }
}
