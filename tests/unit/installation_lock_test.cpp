// The working folder's lock, taken in a temporary working folder. A second
// lock object stands for a second run: share modes apply between two opens
// of one process as between two processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/installation_lock.h"
#include "tests/unit/scratch_folder.h"

namespace {

bool lock_file_exists()
{
    return GetFileAttributesA(installation_lock_file) != INVALID_FILE_ATTRIBUTES;
}

using Locking = InScratchFolder;

TEST_F(Locking, OneRunHoldsTheFolderUntilItReleasesIt)
{
    InstallationLock first;
    ASSERT_TRUE(first.take());
    EXPECT_TRUE(lock_file_exists());

    InstallationLock second;
    EXPECT_FALSE(second.take());
    EXPECT_FALSE(second.take());
    second.release();
    EXPECT_TRUE(lock_file_exists());
    InstallationLock third;
    EXPECT_FALSE(third.take());

    first.release();
    EXPECT_FALSE(lock_file_exists());
    EXPECT_TRUE(second.take());
    EXPECT_FALSE(third.take());
}

TEST_F(Locking, TheLockGoesWithItsObject)
{
    {
        InstallationLock run;
        ASSERT_TRUE(run.take());
    }
    EXPECT_FALSE(lock_file_exists());
    InstallationLock next;
    EXPECT_TRUE(next.take());
}

TEST_F(Locking, AFileLeftWithoutAHolderIsTakenOverAtOnce)
{
    std::ofstream(installation_lock_file, std::ios::binary) << "left by a power cut";
    ASSERT_TRUE(lock_file_exists());

    InstallationLock run;
    EXPECT_TRUE(run.take());
    InstallationLock second;
    EXPECT_FALSE(second.take());
    run.release();
    EXPECT_FALSE(lock_file_exists());
}

TEST_F(Locking, AFolderThatTakesNoFileLetsTheRunGoOn)
{
    // A folder of the lock's name stands for a folder where the lock file
    // cannot be made: the run goes on, and nothing in the folder changes.
    ASSERT_TRUE(CreateDirectoryA(installation_lock_file, nullptr));
    InstallationLock run;
    EXPECT_TRUE(run.take());
    run.release();
    EXPECT_NE(GetFileAttributesA(installation_lock_file) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

}  // namespace
