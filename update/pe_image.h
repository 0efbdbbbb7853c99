// Whether a file is a Windows program or library, decided by its bytes alone
// (never by its name): the loader's way in, a DOS header whose "MZ" leads
// through its e_lfanew field to the "PE\0\0" signature. And whether such a
// file's certificate table holds one signature and nothing else, before the
// platform is asked to read it.
#pragma once

#include <string_view>

// Reads nothing outside bytes, whatever they hold.
bool is_pe_image(std::string_view bytes);

// True when bytes are a program or library whose certificate table ends the
// file and holds exactly one entry, of revision 0x0200 and type PKCS#7
// signed data, whose DER signature is followed by nothing but alignment
// padding (at most 7 zero bytes), every length inside the bytes. Anything
// else is what the platform's parser of the table was never meant to meet,
// or room for bytes that no signature covers. Reads nothing outside bytes.
bool has_sound_certificate_table(std::string_view bytes);
