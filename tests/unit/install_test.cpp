// install_updates in a temporary working folder, with the message box it may
// show answered by a second thread as a user would.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "update/install.h"

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Closes every message box with the program's caption, as a user would, and
// keeps its text; before_answer runs while the box is still shown.
class MessageAnswerer {
public:
    explicit MessageAnswerer(std::function<void()> before_answer = {})
        : before_answer_(std::move(before_answer)), thread_([this] { answer_until_stopped(); })
    {
    }
    ~MessageAnswerer()
    {
        stop_ = true;
        thread_.join();
    }
    std::string texts()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    void answer_until_stopped()
    {
        while (!stop_) {
            HWND box = FindWindowA("#32770", "Uwaga!");
            if (box != nullptr && IsWindowVisible(box)) {
                char text[256] = {};
                GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    texts_ += std::string(text) + "\n";
                }
                if (before_answer_)
                    before_answer_();
                SendMessageA(box, WM_COMMAND, IDOK, 0);
            }
            Sleep(20);
        }
    }

    std::function<void()> before_answer_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string texts_;
    std::thread thread_;
};

const std::string install_failed = "Wyst\xb9pi\xb3y problemy z instalowaniem aktualizacji.\n";

class Installation : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "install_test_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        GetCurrentDirectoryA(MAX_PATH, previous_);
        SetCurrentDirectoryA(folder_.c_str());
        CreateDirectoryA("_update", nullptr);
    }

    void TearDown() override
    {
        SetCurrentDirectoryA(previous_);
        for (const char* name : {"\\a.txt", "\\b.txt", "\\_update\\a.txt", "\\_update\\b.txt"})
            SetFileAttributesA((folder_ + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        for (const char* name : {"\\a.txt", "\\b.txt", "\\_update\\a.txt", "\\_update\\b.txt"})
            DeleteFileA((folder_ + name).c_str());
        RemoveDirectoryA((folder_ + "\\_update").c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    std::string folder_;
    char previous_[MAX_PATH] = {};
};

TEST_F(Installation, StagedFilesReplaceReadOnlyOnesAndNewOnesAreAdded)
{
    write_file("a.txt", "old");
    SetFileAttributesA("a.txt", FILE_ATTRIBUTE_READONLY);
    write_file("_update\\a.txt", "new a");
    write_file("_update\\b.txt", "new b");

    MessageAnswerer answerer;
    EXPECT_TRUE(install_updates());
    EXPECT_EQ(answerer.texts(), "");
    EXPECT_EQ(read_file("a.txt"), "new a");
    EXPECT_EQ(read_file("b.txt"), "new b");
    EXPECT_FALSE(exists("_update"));
}

TEST_F(Installation, InstalledFileInUseStaysAndStagingIsRemoved)
{
    write_file("a.txt", "old");
    write_file("_update\\a.txt", "new");
    HANDLE held = CreateFileA("a.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    MessageAnswerer answerer;
    EXPECT_FALSE(install_updates());
    CloseHandle(held);
    EXPECT_EQ(answerer.texts(), install_failed);
    EXPECT_EQ(read_file("a.txt"), "old");
    EXPECT_FALSE(exists("_update"));
}

TEST_F(Installation, StagedCopyIsKeptWhenItCannotReplaceTheDeletedOldFile)
{
    write_file("a.txt", "old");
    write_file("_update\\a.txt", "new");
    // Held while the move is tried, released before the user answers, so
    // that only the program's choice keeps the staged copy.
    HANDLE held =
        CreateFileA("_update\\a.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    MessageAnswerer answerer([held] { CloseHandle(held); });
    EXPECT_FALSE(install_updates());
    EXPECT_EQ(answerer.texts(), install_failed);
    EXPECT_FALSE(exists("a.txt"));
    EXPECT_EQ(read_file("_update\\a.txt"), "new");
}

TEST_F(Installation, NothingStagedInstallsNothing)
{
    RemoveDirectoryA("_update");
    MessageAnswerer answerer;
    EXPECT_TRUE(install_updates());
    EXPECT_EQ(answerer.texts(), "");
}

}  // namespace
