#include "support/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/scratch_folder.h"

namespace {

using names = std::vector<std::string>;

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_read_only(const std::string& path)
{
    return (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
}

void make_read_only(const std::string& path)
{
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
}

names sorted(names list)
{
    std::sort(list.begin(), list.end());
    return list;
}

// Opened the way another program would hold a file in use: readable by
// others, but neither deletable nor renamable.
HANDLE hold_open(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Every test runs in a fresh folder of its own, which is also the current
// folder, so relative paths behave as in the updater.
class FilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char buffer[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, buffer);
        original_ = buffer;
        GetTempPathA(MAX_PATH, buffer);
        static int counter = 0;
        root_ = std::string(buffer) + "files_test_" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(++counter);
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryA(root_.c_str()));
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(original_.c_str());
        erase_tree(root_);
    }
    void make_tree(const names& folders, const names& files)
    {
        for (const std::string& f : folders)
            ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr)) << f;
        for (const std::string& f : files)
            write_file(f, "content of " + f);
    }

    std::string original_;
    std::string root_;
};

}  // namespace

TEST_F(FilesTest, ExistenceTestsUseTheNormalisedPath)
{
    make_tree({"dir"}, {"dir\\a.txt", "b.txt"});
    const struct {
        std::string path;
        bool folder;
        bool file;
    } cases[] = {
        {"", true, false},
        {".", true, false},
        {"dir", true, false},
        {"dir/", true, false},
        {"b.txt", false, true},
        {"dir/a.txt", false, true},
        {"dir//a.txt", false, true},
        {"./dir\\a.txt", false, true},
        {root_ + "/b.txt", false, true},
        {"missing", false, false},
        {"dir/missing.txt", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_existing_folder(c.path), c.folder) << c.path;
        EXPECT_EQ(is_existing_file(c.path), c.file) << c.path;
    }
}

TEST_F(FilesTest, MakeFolderCreatesOnlyNewFoldersWithExistingParents)
{
    EXPECT_TRUE(make_folder("_update"));
    EXPECT_TRUE(is_existing_folder("_update"));
    EXPECT_FALSE(make_folder("_update"));
    EXPECT_FALSE(make_folder("no/such"));
    EXPECT_FALSE(exists("no"));
}

TEST_F(FilesTest, ListingsSeparateFilesFromFolders)
{
    make_tree({"lst", "lst\\sub"},
              {"lst\\one.txt", "lst\\two.bin", "lst\\hidden.txt", "lst\\sub\\in.txt", "top.txt"});
    SetFileAttributesA("lst\\hidden.txt", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(sorted(list_plain_files("lst")), (names{"hidden.txt", "one.txt", "two.bin"}));
    EXPECT_EQ(list_subfolders("lst/"), names{"sub"});
    EXPECT_EQ(sorted(list_folder_entries("lst", "*.txt", true, true)),
              (names{"hidden.txt", "one.txt"}));
    EXPECT_EQ(sorted(list_folder_entries("lst", "*", true, true)),
              (names{"hidden.txt", "one.txt", "sub", "two.bin"}));
    EXPECT_EQ(list_plain_files(""), names{"top.txt"});
    EXPECT_EQ(list_subfolders(""), names{"lst"});
    EXPECT_TRUE(list_folder_entries("missing", "*", true, true).empty());
}

TEST_F(FilesTest, RecursiveRemovalTakesNestedTrees)
{
    make_tree({"t", "t\\a", "t\\a\\b", "t\\a\\b\\c", "t\\empty"},
              {"t\\a\\b\\c\\deep.txt", "t\\a\\x.txt", "t\\top.txt"});
    EXPECT_TRUE(remove_folder("t", true));
    EXPECT_FALSE(exists("t"));
}

TEST_F(FilesTest, RecursiveRemovalGoesOnPastAReadOnlyFile)
{
    make_tree({"r", "r\\s", "r\\t"},
              {"r\\s\\ro.txt", "r\\s\\ok.txt", "r\\t\\ok.txt", "r\\top.txt"});
    make_read_only("r\\s\\ro.txt");
    EXPECT_FALSE(remove_folder("r", true));
    EXPECT_TRUE(exists("r\\s\\ro.txt"));
    EXPECT_FALSE(exists("r\\s\\ok.txt"));
    EXPECT_FALSE(exists("r\\t"));
    EXPECT_FALSE(exists("r\\top.txt"));
}

TEST_F(FilesTest, RemoveFolderRefusesWhatItShouldNotRemove)
{
    make_tree({"n", "empty"}, {"n\\f.txt", "plain.txt"});
    EXPECT_FALSE(remove_folder("n", false));
    EXPECT_TRUE(exists("n\\f.txt"));
    EXPECT_FALSE(remove_folder("missing", true));
    EXPECT_FALSE(remove_folder("plain.txt", true));
    EXPECT_TRUE(exists("plain.txt"));
    EXPECT_TRUE(remove_folder("empty", false));
    EXPECT_FALSE(exists("empty"));
}

TEST_F(FilesTest, RemoveFolderOfEmptyPathEmptiesTheCurrentFolder)
{
    make_tree({"cur", "cur\\sub"}, {"cur\\sub\\f.txt", "cur\\g.txt"});
    ASSERT_TRUE(SetCurrentDirectoryA("cur"));
    // Everything inside goes; the current folder itself cannot be removed.
    EXPECT_FALSE(remove_folder("", true));
    EXPECT_TRUE(is_existing_folder(root_ + "\\cur"));
    EXPECT_TRUE(list_folder_entries(root_ + "\\cur", "*", true, true).empty());
}

TEST_F(FilesTest, RemoveFileDeletesOnlyWritableFiles)
{
    make_tree({"_update", "dir"}, {"_update\\staged.txt", "ro.txt"});
    make_read_only("ro.txt");
    EXPECT_TRUE(remove_file("_update//staged.txt"));
    EXPECT_FALSE(exists("_update\\staged.txt"));
    EXPECT_FALSE(remove_file("ro.txt"));
    EXPECT_TRUE(exists("ro.txt"));
    EXPECT_FALSE(remove_file("dir"));
    EXPECT_TRUE(exists("dir"));
    EXPECT_FALSE(remove_file("missing.txt"));
}

TEST_F(FilesTest, SetFileModeFollowsTheOwnerWriteBit)
{
    const struct {
        bool read_only_before;
        int mode;
        bool read_only_after;
    } cases[] = {
        {true, 146, false},  {false, 0, true}, {true, 0200, false},
        {false, 0444, true}, {true, 0, true},
    };
    for (const auto& c : cases) {
        write_file("f.txt", "x");
        SetFileAttributesA("f.txt",
                           c.read_only_before ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        EXPECT_TRUE(set_file_mode("f.txt", c.mode)) << c.mode;
        EXPECT_EQ(is_read_only("f.txt"), c.read_only_after) << c.mode;
        SetFileAttributesA("f.txt", FILE_ATTRIBUTE_NORMAL);
    }
    make_tree({"dir"}, {});
    EXPECT_FALSE(set_file_mode("dir", 0));
    EXPECT_FALSE(is_read_only("dir"));
    EXPECT_FALSE(set_file_mode("missing.txt", 146));
}

TEST_F(FilesTest, RenameFileNeverReplacesAnExistingName)
{
    make_tree({"dir"}, {"a.txt", "b.txt"});
    EXPECT_FALSE(rename_file("a.txt", "b.txt"));
    EXPECT_EQ(read_file("a.txt"), "content of a.txt");
    EXPECT_EQ(read_file("b.txt"), "content of b.txt");
    EXPECT_TRUE(rename_file("a.txt", "dir/c.txt"));
    EXPECT_EQ(read_file("dir\\c.txt"), "content of a.txt");
    EXPECT_FALSE(exists("a.txt"));
    EXPECT_FALSE(rename_file("dir", "other"));
    EXPECT_TRUE(exists("dir"));
    EXPECT_FALSE(rename_file("missing.txt", "x.txt"));
}

TEST_F(FilesTest, CopyFileContentsCopiesEveryByte)
{
    std::string content("text\r\n\x1a\0\xff", 9);
    for (int i = 0; i < 100000; ++i)
        content += char(i * 7);
    write_file("source.bin", content);
    write_file("target.bin", std::string(200000, 'o'));
    EXPECT_TRUE(copy_file_contents("source.bin", "target.bin"));
    EXPECT_EQ(read_file("target.bin"), content);
    EXPECT_EQ(read_file("source.bin"), content);
    EXPECT_FALSE(copy_file_contents("source.bin", "missing/target.bin"));
}

TEST_F(FilesTest, ReadWholeFileTakesEveryByteOrNothing)
{
    std::string content("text\r\n\x1a\0\xff", 9);
    for (int i = 0; i < 100000; ++i)
        content += char(i * 7);
    write_file("source.bin", content);
    write_file("empty.bin", "");
    make_tree({"dir"}, {"locked.txt"});
    std::string read = "left over";
    EXPECT_TRUE(read_whole_file("source.bin", read));
    EXPECT_EQ(read, content);
    EXPECT_TRUE(read_whole_file("empty.bin", read));
    EXPECT_EQ(read, "");
    EXPECT_FALSE(read_whole_file("missing.bin", read));
    EXPECT_FALSE(read_whole_file("dir", read));
    HANDLE locked = CreateFileA("locked.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(read_whole_file("locked.txt", read));
    CloseHandle(locked);
}

TEST_F(FilesTest, CopyFileContentsLeavesTheTargetWhenTheSourceCannotBeRead)
{
    make_tree({"dir"}, {"target.txt", "locked.txt"});
    EXPECT_FALSE(copy_file_contents("missing.txt", "target.txt"));
    EXPECT_FALSE(copy_file_contents("dir", "target.txt"));
    HANDLE locked = CreateFileA("locked.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(copy_file_contents("locked.txt", "target.txt"));
    CloseHandle(locked);
    EXPECT_EQ(read_file("target.txt"), "content of target.txt");
}

TEST_F(FilesTest, RelocateFileRenamesWithinOneVolume)
{
    make_tree({"_update"}, {"_update\\menu.dat"});
    EXPECT_TRUE(relocate_file("_update//menu.dat", "menu.dat"));
    EXPECT_FALSE(exists("_update\\menu.dat"));
    EXPECT_EQ(read_file("menu.dat"), "content of _update\\menu.dat");
    EXPECT_FALSE(relocate_file("missing.txt", "other.txt"));
    EXPECT_FALSE(exists("other.txt"));
}

TEST_F(FilesTest, RelocateFileCopiesOverAnExistingTarget)
{
    make_tree({}, {"source.txt", "target.txt"});
    EXPECT_TRUE(relocate_file("source.txt", "target.txt"));
    EXPECT_EQ(read_file("target.txt"), "content of source.txt");
    EXPECT_FALSE(exists("source.txt"));
}

TEST_F(FilesTest, RelocateFileTakesTheCopyBackWhenTheSourceStays)
{
    for (const bool target_exists : {false, true}) {
        make_tree({}, target_exists ? names{"source.txt", "target.txt"} : names{"source.txt"});
        HANDLE in_use = hold_open("source.txt");
        ASSERT_NE(in_use, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(relocate_file("source.txt", "target.txt"));
        CloseHandle(in_use);
        EXPECT_EQ(read_file("source.txt"), "content of source.txt");
        EXPECT_FALSE(exists("target.txt")) << target_exists;
        DeleteFileA("source.txt");
    }
}
