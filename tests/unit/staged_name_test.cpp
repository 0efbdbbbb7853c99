#include <gtest/gtest.h>

#include "update/staged_name.h"

TEST(StagedName, OrdinaryNamesAreAccepted)
{
    for (const char* name : {"setup.exe", "a", "menu.exe", ".hidden", "wersja.txt", "CONSOLE.txt",
                             "COM10", "LPT0", "nul_file", "my con.txt", "a b.dll",
                             "\xb3\xf3"
                             "d\xbc.txt"})
        EXPECT_TRUE(is_safe_file_name(name)) << name;
}

TEST(StagedName, NamesThatEscapeOrChangeAreRejected)
{
    for (const char* name :
         {"",          ".",    "..",        "..\\x",      "a\\b",    "c:x",     "x:",
          "a/b",       "a<b",  "a>b",       "a|b",        "a?",      "a*",      "a\"b",
          "tab\there", "\x1f", "menu.exe.", "menu.exe ",  "CON",     "con.txt", "Nul",
          "aux.",      "COM1", "lpt9.log",  "PRN.tar.gz", "AUX .txt"})
        EXPECT_FALSE(is_safe_file_name(name)) << name;
}
