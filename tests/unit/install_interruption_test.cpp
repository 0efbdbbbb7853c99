// An installation ended after one of its steps, as a crash would end it,
// and settled by what the next start runs. The step hook this program links
// ends it (tests/unit/ending_steps.cpp). Its 130 files reach three of the
// folders that old copies are put aside in (64 a folder); the cost per file
// of large installations is the benchmark's to measure.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/ending_steps.h"
#include "tests/unit/folder_snapshot.h"
#include "tests/unit/scratch_folder.h"
#include "update/install.h"

namespace {

const int file_count = 130;

std::string name_of(int i)
{
    char name[16];
    std::snprintf(name, sizeof(name), "f%04d.dat", i);
    return name;
}

// Every kind of file: most replace an old one, some are added, and some old
// ones are read-only, which takes the other way aside.
bool is_added(int i)
{
    return i % 10 == 3;
}

bool is_read_only(int i)
{
    return i % 100 == 7;
}

std::vector<std::string> stage_installation()
{
    CreateDirectoryA("_update", nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < file_count; ++i) {
        const std::string name = name_of(i);
        names.push_back(name);
        write_file("_update\\" + name, "new " + name);
        if (is_added(i))
            continue;
        write_file(name, "old " + name);
        if (is_read_only(i))
            SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    return names;
}

// What an earlier round left: the files and the staging folder.
void clear_folder()
{
    erase_tree("_update");
    for (int i = 0; i < file_count; ++i) {
        SetFileAttributesA(name_of(i).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(name_of(i).c_str());
    }
}

Folder every_file_new()
{
    Folder expected;
    for (int i = 0; i < file_count; ++i)
        expected[name_of(i)] = "new " + name_of(i);
    return expected;
}

// The journal and every step of the first nine files (replaced ones, an
// added one and a read-only one), the last files (the third folder's) and
// the end, and steps spread over all files in between at a stride prime to
// the per-file pattern; 123 is the first step of file 64, the second
// folder's first. Each step costs Wine over a second, all of them minutes.
bool is_chosen(int step, int total)
{
    return step <= 18 || step > total - 6 || step % 41 == 0;
}

class InstallationInterrupted : public InScratchFolder {};

TEST_F(InstallationInterrupted, AfterAStepOfAnyFolderTheNextStartFinishesIt)
{
    const Folder expected = every_file_new();
    int total = 0;
    {
        const std::vector<std::string> names = stage_installation();
        end_after_step(0);
        ASSERT_TRUE(install_updates(names));
        total = steps_taken();
        EXPECT_EQ(snapshot(), expected);
    }
    // The journal, two steps for each old file and one for each added one,
    // and the two of the end.
    ASSERT_EQ(total, 1 + 2 * 117 + 13 + 2);

    std::set<Folder> interrupted_states;
    int chosen = 0;
    for (int step = 1; step <= total; ++step) {
        if (!is_chosen(step, total))
            continue;
        SCOPED_TRACE(step);
        ++chosen;
        clear_folder();
        const std::vector<std::string> names = stage_installation();
        end_after_step(step);
        EXPECT_THROW(install_updates(names), InstallationEnded);
        end_after_step(0);
        interrupted_states.insert(snapshot());

        settle_interrupted_installation();
        EXPECT_EQ(snapshot(), expected);
    }
    // Every step left another state: the installation really ended there.
    EXPECT_EQ(interrupted_states.size(), static_cast<std::size_t>(chosen));
}

}  // namespace
