#include <gtest/gtest.h>

#include <string>

#include "update/staged_name.h"

// A name fits when "<folder>\_update\<name>" and "<folder>\_update\~install\journal"
// both stay below MAX_PATH (260) characters.
TEST(PathLimit, TheStagedPathDecidesForLongNames)
{
    EXPECT_TRUE(fits_path_limit("C:\\app", std::string(244, 'n')));
    EXPECT_FALSE(fits_path_limit("C:\\app", std::string(245, 'n')));
    // A drive's root ends in its separator already.
    EXPECT_TRUE(fits_path_limit("C:\\", std::string(248, 'n')));
    EXPECT_FALSE(fits_path_limit("C:\\", std::string(249, 'n')));
    for (std::size_t length : {252u, 253u, 254u, 255u})
        EXPECT_FALSE(fits_path_limit("C:\\", std::string(length, 'n'))) << length;
}

TEST(PathLimit, TheJournalDecidesInADeepFolder)
{
    const std::string deep = "C:\\" + std::string(231, 'd');
    EXPECT_TRUE(fits_path_limit(deep, "a"));
    EXPECT_FALSE(fits_path_limit(deep + "d", "a"));
}
