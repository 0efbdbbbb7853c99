// Binary patches in the VCDIFF format (RFC 3284) as the server makes them:
// no secondary compression, no custom code table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Builds in target the file that patch makes from source. Room for
// target_size_limit bytes is reserved before the first window, so pass the
// size the result must have. False, target's contents unspecified, for
// anything the decoder does not know or that reaches outside its data: a
// compressed section, a custom code table, an unknown indicator bit, a copy
// outside its window, more than target_size_limit bytes, a cut or extended
// patch, a window whose checksum does not match. Source and patch are read
// where they lie: only target is written.
bool apply_vcdiff_patch(std::string_view source, std::string_view patch,
                        std::size_t target_size_limit, std::string& target);
