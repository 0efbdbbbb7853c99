#include "support/paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

struct parse_case {
    std::string text;
    bool relative;
    std::string drive;
    std::vector<std::string> folders;
    std::string composed;
};

void expect_parsed(const parse_case& c)
{
    parsed_path path;
    path.leaf_name = "stale";
    path.folders = {"stale"};
    EXPECT_TRUE(parse_path(c.text, path));
    EXPECT_EQ(path.relative, c.relative);
    EXPECT_EQ(path.drive, c.drive);
    EXPECT_EQ(path.folders, c.folders);
    EXPECT_EQ(path.leaf_name, "");
    EXPECT_EQ(compose_path(path), c.composed);
}

std::string current_folder()
{
    char buffer[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, buffer);
    return buffer;
}

// The drive-dependent cases run from a known current folder.
class CurrentFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        original_ = current_folder();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        ASSERT_TRUE(SetCurrentDirectoryA(temp));
        here_ = current_folder();
        ASSERT_EQ(here_[1], ':');
    }
    void TearDown() override { SetCurrentDirectoryA(original_.c_str()); }

    std::string original_;
    std::string here_;
};

}  // namespace

TEST(PathsTest, ParsesPathsIndependentOfCurrentFolder)
{
    const parse_case cases[] = {
        {"", true, "", {}, "."},
        {"_update", true, "", {"_update"}, "_update"},
        {"a/b\\c", true, "", {"a", "b", "c"}, "a\\b\\c"},
        {"a/b/", true, "", {"a", "b"}, "a\\b"},
        {"_update//x", true, "", {"_update", "", "x"}, "_update\\\\x"},
        {"./../x", true, "", {".", "..", "x"}, ".\\..\\x"},
        {"1:x", true, "", {"1:x"}, "1:x"},
        {"C:\\", false, "C:", {}, "C:\\"},
        {"c:/Program Files/app/", false, "c:", {"Program Files", "app"}, "c:\\Program Files\\app"},
        {"\\\\server\\share\\dir", false, "\\\\server", {"share", "dir"}, "\\\\server\\share\\dir"},
        {"//server/share", false, "//server", {"share"}, "//server\\share"},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.text);
        expect_parsed(c);
    }
}

TEST_F(CurrentFolderTest, CompletesRootedAndDriveRelativePaths)
{
    const std::string drive = here_.substr(0, 2);
    const std::string lower_drive = std::string(1, char(here_[0] - 'A' + 'a')) + ':';
    DWORD drives = GetLogicalDrives();
    char missing = 'D';
    while (missing < 'Z' && (drives & (1u << (missing - 'A'))))
        ++missing;
    const std::string missing_drive = std::string(1, missing) + ':';

    EXPECT_EQ(append_path_component("\\foo/bar", "x"), drive + "\\foo\\bar\\x");
    const parse_case cases[] = {
        {"\\foo/bar", false, drive, {"foo", "bar"}, drive + "\\foo\\bar"},
        {"/", false, drive, {}, drive + "\\"},
        {"", true, "", {}, "."},
        {missing_drive, false, missing_drive, {}, missing_drive + "\\"},
        {missing_drive + "x/y", false, missing_drive, {"x", "y"}, missing_drive + "\\x\\y"},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.text);
        expect_parsed(c);
    }
    parsed_path path;
    parse_path(drive, path);
    EXPECT_FALSE(path.relative);
    EXPECT_EQ(compose_path(path), here_);
    parse_path(lower_drive + "sub/x", path);
    EXPECT_EQ(path.drive, lower_drive);
    EXPECT_EQ(compose_path(path), lower_drive + here_.substr(2) + "\\sub\\x");
}

TEST_F(CurrentFolderTest, DriveRootAsCurrentFolderGetsNoSecondSeparator)
{
    const std::string drive = here_.substr(0, 2);
    ASSERT_TRUE(SetCurrentDirectoryA((drive + "\\").c_str()));
    parsed_path path;
    parse_path(drive + "x", path);
    EXPECT_EQ(compose_path(path), drive + "\\x");
    EXPECT_EQ(path.folders, std::vector<std::string>{"x"});
}

TEST(PathsTest, ComposesLeafNameAsLastComponent)
{
    parsed_path path;
    path.leaf_name = "f.txt";
    EXPECT_EQ(compose_path(path), ".\\f.txt");
    path.folders = {"a", "b"};
    EXPECT_EQ(compose_path(path), "a\\b\\f.txt");
}

TEST(PathsTest, JoinsAndAppends)
{
    const struct {
        const char* folder;
        const char* name;
        const char* joined;
        const char* appended;
    } cases[] = {
        {"", "x", "x", "x"},
        {".", "x", ".\\x", ".\\x"},
        {"dir", "x", "dir\\x", "dir\\x"},
        {"dir/", "x", "dir/x", "dir\\x"},
        {"a\\b\\", "x", "a\\b\\x", "a\\b\\x"},
        {"_update//", "x", "_update//x", "_update\\\\x"},
        {"\\\\srv\\share", "x", "\\\\srv\\share\\x", "\\\\srv\\share\\x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(join_folder_and_name(c.folder, c.name), c.joined);
        EXPECT_EQ(append_path_component(c.folder, c.name), c.appended);
    }
}
