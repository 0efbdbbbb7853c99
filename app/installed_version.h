// The installed version, the first word of "wersja.txt" in the working
// folder.
#pragma once

#include <cstdint>

// 0 (nothing to ask for) when the file is missing, empty, white space only
// or holds 0; -1 when its word is no number and when the file is there but
// cannot be read (a folder of that name, a file another program holds
// open): such a damaged installation asks for every file.
std::int32_t read_installed_version();
