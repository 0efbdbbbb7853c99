// A test's own folder, made and removed with plain Win32 calls,
// independent of the code under test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

inline void erase_tree(const std::string& folder)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                erase_tree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

// Runs each test in a fresh empty folder under the temporary folder, made
// the current folder; everything in it is removed afterwards.
class InScratchFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + ::testing::UnitTest::GetInstance()->current_test_suite()->name() +
                  "_" + std::to_string(GetCurrentProcessId());
        erase_tree(folder_);
        CreateDirectoryA(folder_.c_str(), nullptr);
        GetCurrentDirectoryA(MAX_PATH, previous_);
        SetCurrentDirectoryA(folder_.c_str());
    }

    void TearDown() override
    {
        SetCurrentDirectoryA(previous_);
        erase_tree(folder_);
    }

private:
    std::string folder_;
    char previous_[MAX_PATH] = {};
};
