// install_updates and the settling of a cut-short installation in a
// temporary working folder, with the message box it may show answered by a
// second thread as a user would. Each case compares the whole folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tests/unit/scratch_folder.h"
#include "update/install.h"
#include "update/install_journal.h"

namespace {

using Folder = std::map<std::string, std::string>;

const char folder_mark[] = "<folder>";

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Every file (path -> bytes) and folder (path -> folder_mark) below folder.
void snapshot(const std::string& folder, const std::string& prefix, Folder& found)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            found[prefix + name + "\\"] = folder_mark;
            snapshot(folder + "\\" + name, prefix + name + "\\", found);
        } else {
            found[prefix + name] = read_file(folder + "\\" + name);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

Folder snapshot()
{
    Folder found;
    snapshot(".", "", found);
    return found;
}

// Held open without sharing, as another program may hold a file.
class HeldFile {
public:
    explicit HeldFile(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    ~HeldFile() { CloseHandle(handle_); }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Closes every message box with the program's caption, as a user would, and
// keeps its text.
class MessageAnswerer {
public:
    MessageAnswerer() : thread_([this] { answer_until_stopped(); }) {}
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
                SendMessageA(box, WM_COMMAND, IDOK, 0);
            }
            Sleep(20);
        }
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string texts_;
    std::thread thread_;
};

const std::string install_failed = "Wyst\xb9pi\xb3y problemy z instalowaniem aktualizacji.\n";

class Installing : public InScratchFolder {
protected:
    // Old files a, b, c installed; new copies of all three staged.
    void stage_three()
    {
        CreateDirectoryA("_update", nullptr);
        for (const char* name : {"a.dll", "b.dll", "c.dll"}) {
            write_file(name, std::string("old ") + name);
            write_file(std::string("_update\\") + name, std::string("new ") + name);
        }
    }
};

const Folder three_new = {{"a.dll", "new a.dll"}, {"b.dll", "new b.dll"}, {"c.dll", "new c.dll"}};

TEST_F(Installing, OnlyTheNamedFilesAreInstalledOverReadOnlyOnes)
{
    write_file("a.txt", "old");
    SetFileAttributesA("a.txt", FILE_ATTRIBUTE_READONLY);
    CreateDirectoryA("_update", nullptr);
    write_file("_update\\a.txt", "new a");
    write_file("_update\\b.txt", "new b");
    write_file("_update\\left.txt", "left by someone");

    MessageAnswerer answerer;
    EXPECT_TRUE(install_updates({"a.txt", "b.txt", "a.txt"}));
    EXPECT_EQ(answerer.texts(), "");
    EXPECT_EQ(snapshot(), (Folder{{"a.txt", "new a"}, {"b.txt", "new b"}}));
}

TEST_F(Installing, AHeldFileAnywhereLeavesEveryFileOld)
{
    for (const char* held_name : {"a.dll", "b.dll", "c.dll"}) {
        SCOPED_TRACE(held_name);
        stage_three();
        Folder before = snapshot();
        {
            HeldFile held(held_name);
            ASSERT_TRUE(held.held());
            MessageAnswerer answerer;
            EXPECT_FALSE(install_updates({"a.dll", "b.dll", "c.dll"}));
            EXPECT_EQ(answerer.texts(), install_failed);
        }
        before.erase("_update\\");
        for (const char* name : {"_update\\a.dll", "_update\\b.dll", "_update\\c.dll"})
            before.erase(name);
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(Installing, AFailureHalfWayPutsBackEveryOldFileAndRemovesEveryAddedOne)
{
    stage_three();
    write_file("_update\\added.dll", "added");
    const Folder before = snapshot();
    Installation installation(plan_installation({"a.dll", "added.dll", "b.dll", "c.dll"}));
    ASSERT_TRUE(installation.targets_are_ready());
    ASSERT_TRUE(installation.start());
    {
        // Taken after the check, as another program may at any moment.
        HeldFile held("b.dll");
        ASSERT_TRUE(held.held());
        EXPECT_FALSE(installation.move_into_place());
        EXPECT_EQ(read_file("a.dll"), "new a.dll");
        EXPECT_EQ(read_file("added.dll"), "added");
        EXPECT_TRUE(installation.put_back());
    }
    Folder back = snapshot();
    back.erase("_update\\~install\\");
    back.erase("_update\\~install\\journal");
    EXPECT_EQ(back, before);
}

TEST_F(Installing, AFolderInTheWayFailsBeforeAnythingChanges)
{
    stage_three();
    CreateDirectoryA("new.dll", nullptr);
    write_file("_update\\new.dll", "new");
    Folder before = snapshot();

    MessageAnswerer answerer;
    EXPECT_FALSE(install_updates({"a.dll", "b.dll", "c.dll", "new.dll"}));
    EXPECT_EQ(answerer.texts(), install_failed);
    Folder after = snapshot();
    EXPECT_EQ(after.count("_update\\"), 0u);
    for (const auto& file : after)
        EXPECT_EQ(before[file.first], file.second) << file.first;
}

// The states a crash can leave, built by the installation's own steps.
TEST_F(Installing, SettlingFinishesWhenEveryNewCopyIsThere)
{
    stage_three();
    write_file("_update\\added.dll", "added");
    Installation installation(plan_installation({"a.dll", "b.dll", "added.dll", "c.dll"}));
    ASSERT_TRUE(installation.start());
    MoveFileA("a.dll", "_update\\~install\\0");
    MoveFileA("_update\\a.dll", "a.dll");
    MoveFileA("b.dll", "_update\\~install\\1");

    settle_interrupted_installation();
    Folder expected = three_new;
    expected["added.dll"] = "added";
    EXPECT_EQ(snapshot(), expected);
}

TEST_F(Installing, SettlingUndoesWhenANewCopyIsGone)
{
    stage_three();
    const Folder before = snapshot();
    Installation installation(plan_installation({"a.dll", "b.dll", "c.dll"}));
    ASSERT_TRUE(installation.start());
    MoveFileA("a.dll", "_update\\~install\\0");
    MoveFileA("_update\\a.dll", "a.dll");
    MoveFileA("b.dll", "_update\\~install\\1");
    DeleteFileA("_update\\b.dll");

    settle_interrupted_installation();
    Folder old_files = before;
    for (const char* staged : {"_update\\", "_update\\a.dll", "_update\\b.dll", "_update\\c.dll"})
        old_files.erase(staged);
    EXPECT_EQ(snapshot(), old_files);
}

TEST_F(Installing, OldCopiesStayAsLongAsTheJournalThatCouldNeedThem)
{
    stage_three();
    Installation installation(plan_installation({"a.dll", "b.dll", "c.dll"}));
    ASSERT_TRUE(installation.start());
    ASSERT_TRUE(installation.move_into_place());
    {
        HeldFile held("_update\\~install\\journal");
        ASSERT_TRUE(held.held());
        installation.finish();
    }
    EXPECT_EQ(read_file("_update\\~install\\1"), "old b.dll");

    settle_interrupted_installation();
    EXPECT_EQ(snapshot(), three_new);
}

TEST_F(Installing, SettlingLeavesEverythingAloneForAJournalThatMakesNoSense)
{
    stage_three();
    Installation installation(plan_installation({"a.dll", "b.dll", "c.dll"}));
    ASSERT_TRUE(installation.start());
    MoveFileA("a.dll", "_update\\~install\\0");
    const std::string journal = journal_text(installation.entries());
    for (const std::string& damaged :
         {journal.substr(0, journal.size() - 1), journal.substr(0, journal.size() / 2),
          std::string(), std::string("\0\0\0\0", 4), journal + "1 d.dll\n"}) {
        write_file("_update\\~install\\journal", damaged);
        const Folder before = snapshot();
        settle_interrupted_installation();
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(Installing, SettlingRemovesOldCopiesAFinishedInstallationLeft)
{
    CreateDirectoryA("_update", nullptr);
    CreateDirectoryA("_update\\~install", nullptr);
    write_file("_update\\~install\\0", "old running image");
    SetFileAttributesA("_update\\~install\\0", FILE_ATTRIBUTE_READONLY);
    write_file("a.dll", "new a");

    settle_interrupted_installation();
    EXPECT_EQ(snapshot(), (Folder{{"a.dll", "new a"}}));
}

TEST(InstallJournal, ReadsBackWhatItWrites)
{
    const std::vector<JournalEntry> written = {{"wersja.txt", true}, {"new file.dll", false}};
    std::vector<JournalEntry> read;
    ASSERT_TRUE(parse_journal(journal_text(written), read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ((std::make_pair(read[0].name, read[0].had_old)),
              std::make_pair(std::string("wersja.txt"), true));
    EXPECT_EQ((std::make_pair(read[1].name, read[1].had_old)),
              std::make_pair(std::string("new file.dll"), false));
    EXPECT_TRUE(parse_journal(journal_text({}), read));
    EXPECT_TRUE(read.empty());
}

TEST(InstallJournal, RefusesEveryCutShortOrDamagedJournal)
{
    const std::string journal = journal_text({{"a.dll", true}, {"b.dll", false}});
    std::vector<JournalEntry> untouched = {{"kept", true}};
    for (std::size_t length = 0; length < journal.size(); ++length) {
        EXPECT_FALSE(parse_journal(journal.substr(0, length), untouched)) << length;
    }
    const std::string header = "updater installation 1\n";
    const std::vector<std::string> damaged_journals = {
        header + "1\n1 a.dll\n1 b.dll\nend\n",                 // count too small
        header + "3\n1 a.dll\n1 b.dll\nend\n",                 // count too large
        header + "99999999999999999999\nend\n",                // count past any integer
        header + "-1\nend\n",                                  // negative count
        header + "1\n2 a.dll\nend\n",                          // unknown flag
        header + "1\n1a.dll\nend\n",                           // no separator
        header + "1\n1 \nend\n",                               // no name
        header + "1\n1 ..\\menu.exe\nend\n",                   // leaves the folder
        header + "1\n0 C:\\x.dll\nend\n",                      // another drive
        header + "1\n0 " + std::string(300, 'n') + "\nend\n",  // past the path limit
        header + "2\n1 a.dll\n0 a.dll\nend\n",                 // one name twice
        header + "1\r\n1 a.dll\r\nend\r\n",                    // other line ends
        header + "1\n1 a.dll\nend\n\n",
        header + "1\n1 a.dll\nend\nx",       // more after the end
        "updater installation 2\n0\nend\n",  // unknown version
        std::string("\xff\xfe\x00\x01", 4),  // no text at all
    };
    for (const std::string& damaged : damaged_journals)
        EXPECT_FALSE(parse_journal(damaged, untouched)) << damaged;
    ASSERT_EQ(untouched.size(), 1u);
    EXPECT_EQ(untouched[0].name, "kept");
}

}  // namespace
