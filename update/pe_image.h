// Whether a file is a Windows program or library, decided by its bytes alone
// (never by its name): the loader's way in, a DOS header whose "MZ" leads
// through its e_lfanew field to the "PE\0\0" signature.
#pragma once

#include <string_view>

// Reads nothing outside bytes, whatever they hold.
bool is_pe_image(std::string_view bytes);
