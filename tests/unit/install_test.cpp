// install_updates and the settling of a cut-short installation in a
// temporary working folder, with the message box it may show answered by a
// second thread as a user would. Each case compares the whole folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/unit/folder_snapshot.h"
#include "tests/unit/scratch_folder.h"
#include "update/install.h"
#include "update/install_journal.h"

namespace {

// Held open as another program may hold a file: by default without sharing.
class HeldFile {
public:
    explicit HeldFile(const std::string& path, DWORD sharing = 0)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr))
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
                // A box may be visible before its text is; look again later.
                if (GetDlgItemTextA(box, 0xFFFF, text, sizeof(text)) == 0) {
                    Sleep(20);
                    continue;
                }
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
    // What stays aside is removed with the staging folder.
    Folder back = snapshot();
    for (auto entry = back.begin(); entry != back.end();)
        entry = entry->first.rfind("_update\\~install\\", 0) == 0 ? back.erase(entry) : ++entry;
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

TEST_F(Installing, AFileThatCannotBeReplacedWhereItStandsLeavesItsPlaceWhole)
{
    stage_three();
    {
        // As a running image can be renamed but not replaced.
        HeldFile held("b.dll", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(held.held());
        MessageAnswerer answerer;
        EXPECT_TRUE(install_updates({"a.dll", "b.dll", "c.dll"}));
        EXPECT_EQ(answerer.texts(), "");
        EXPECT_EQ(read_file("b.dll"), "new b.dll");
    }
    settle_interrupted_installation();
    EXPECT_EQ(snapshot(), three_new);
}

// The states a crash can leave, built by the installation's own steps: the
// old file linked aside, replaced, or (read-only) renamed aside.
TEST_F(Installing, SettlingFinishesWhenEveryNewCopyIsThere)
{
    stage_three();
    write_file("_update\\added.dll", "added");
    Installation installation(plan_installation({"a.dll", "b.dll", "added.dll", "c.dll"}));
    ASSERT_TRUE(installation.start());
    CreateHardLinkA("_update\\~install\\0\\0", "a.dll", nullptr);
    MoveFileExA("_update\\a.dll", "a.dll", MOVEFILE_REPLACE_EXISTING);
    CreateHardLinkA("_update\\~install\\0\\1", "b.dll", nullptr);
    MoveFileA("c.dll", "_update\\~install\\0\\3");

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
    CreateHardLinkA("_update\\~install\\0\\0", "a.dll", nullptr);
    MoveFileExA("_update\\a.dll", "a.dll", MOVEFILE_REPLACE_EXISTING);
    CreateHardLinkA("_update\\~install\\0\\1", "b.dll", nullptr);
    MoveFileA("c.dll", "_update\\~install\\0\\2");
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
    EXPECT_EQ(read_file("_update\\~install\\0\\1"), "old b.dll");

    settle_interrupted_installation();
    EXPECT_EQ(snapshot(), three_new);
}

TEST_F(Installing, SettlingLeavesEverythingAloneForAJournalThatMakesNoSense)
{
    stage_three();
    const std::vector<JournalEntry> plan = plan_installation({"a.dll", "b.dll", "c.dll"});
    Installation installation(plan);
    ASSERT_TRUE(installation.start());
    MoveFileA("a.dll", "_update\\~install\\0\\0");
    const std::string journal = journal_text(plan);
    for (const std::string& damaged :
         {journal.substr(0, journal.size() - 1), journal.substr(0, journal.size() / 2),
          std::string(), std::string("\0\0\0\0", 4), journal + "1 d.dll\n"}) {
        write_file("_update\\~install\\journal", damaged);
        const Folder before = snapshot();
        settle_interrupted_installation();
        EXPECT_EQ(snapshot(), before);
    }
}

// Written by the version before this one, which kept every old copy
// straight in the aside folder and only ever renamed old files aside.
TEST_F(Installing, SettlingAJournalOfTheFirstLayoutFinishesOrUndoesIt)
{
    const std::string first_layout_journal =
        "updater installation 1\n3\n1 a.dll\n1 b.dll\n1 c.dll\nend\n";
    for (bool new_copy_gone : {false, true}) {
        SCOPED_TRACE(new_copy_gone);
        stage_three();
        Folder old_files = snapshot();
        CreateDirectoryA("_update\\~install", nullptr);
        write_file("_update\\~install\\journal", first_layout_journal);
        MoveFileA("a.dll", "_update\\~install\\0");
        MoveFileA("_update\\a.dll", "a.dll");
        MoveFileA("b.dll", "_update\\~install\\1");
        if (new_copy_gone)
            DeleteFileA("_update\\c.dll");

        settle_interrupted_installation();
        for (const char* staged : {"_update\\", "_update\\a.dll", "_update\\b.dll", "_update\\c.dll"})
            old_files.erase(staged);
        EXPECT_EQ(snapshot(), new_copy_gone ? old_files : three_new);
    }
}

TEST_F(Installing, SettlingRemovesOldCopiesAFinishedInstallationLeft)
{
    CreateDirectoryA("_update", nullptr);
    CreateDirectoryA("_update\\~install", nullptr);
    CreateDirectoryA("_update\\~install\\0", nullptr);
    write_file("_update\\~install\\7", "old running image, first layout");
    SetFileAttributesA("_update\\~install\\7", FILE_ATTRIBUTE_READONLY);
    write_file("_update\\~install\\0\\5", "old running image");
    SetFileAttributesA("_update\\~install\\0\\5", FILE_ATTRIBUTE_READONLY);
    write_file("a.dll", "new a");

    settle_interrupted_installation();
    EXPECT_EQ(snapshot(), (Folder{{"a.dll", "new a"}}));
}

TEST(InstallJournal, ReadsBackWhatItWrites)
{
    const std::vector<JournalEntry> written = {{"wersja.txt", true}, {"new file.dll", false}};
    Journal read;
    read.layout = AsideLayout::flat;
    ASSERT_TRUE(parse_journal(journal_text(written), read));
    EXPECT_EQ(read.layout, AsideLayout::grouped);
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ((std::make_pair(read.entries[0].name, read.entries[0].had_old)),
              std::make_pair(std::string("wersja.txt"), true));
    EXPECT_EQ((std::make_pair(read.entries[1].name, read.entries[1].had_old)),
              std::make_pair(std::string("new file.dll"), false));
    EXPECT_TRUE(parse_journal(journal_text({}), read));
    EXPECT_TRUE(read.entries.empty());

    // The first layout, as the version before this one wrote it.
    ASSERT_TRUE(parse_journal("updater installation 1\n1\n1 a.dll\nend\n", read));
    EXPECT_EQ(read.layout, AsideLayout::flat);
    ASSERT_EQ(read.entries.size(), 1u);
    EXPECT_EQ(read.entries[0].name, "a.dll");
}

TEST(InstallJournal, RefusesEveryCutShortOrDamagedJournal)
{
    const std::string journal = journal_text({{"a.dll", true}, {"b.dll", false}});
    Journal untouched;
    untouched.entries = {{"kept", true}};
    for (std::size_t length = 0; length < journal.size(); ++length) {
        EXPECT_FALSE(parse_journal(journal.substr(0, length), untouched)) << length;
    }
    const std::string header = "updater installation 2\n";
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
        "updater installation 3\n0\nend\n",  // unknown version
        "updater installation 0\n0\nend\n",
        std::string("\xff\xfe\x00\x01", 4),  // no text at all
    };
    for (const std::string& damaged : damaged_journals)
        EXPECT_FALSE(parse_journal(damaged, untouched)) << damaged;
    ASSERT_EQ(untouched.entries.size(), 1u);
    EXPECT_EQ(untouched.entries[0].name, "kept");
}

}  // namespace
