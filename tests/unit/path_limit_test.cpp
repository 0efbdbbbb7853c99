#include <gtest/gtest.h>

#include <string>

#include "update/staged_name.h"

// A name fits when "<folder>\_update\<name>" and "<folder>\" followed by
// the longest path of an old copy aside, "_update\~install\15624\999998-moved"
// (35 characters), both stay below MAX_PATH (260) characters.
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

// The journal's path is shorter: a folder deep enough that only it fits
// would have a file staged that the installation cannot put aside.
TEST(PathLimit, TheLongestAsideNameDecidesInADeepFolder)
{
    const std::string deep = "C:\\" + std::string(220, 'd');
    EXPECT_TRUE(fits_path_limit(deep, "a"));
    EXPECT_FALSE(fits_path_limit(deep + "d", "a"));
}
