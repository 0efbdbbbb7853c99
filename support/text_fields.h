// Trimming and splitting of narrow text. White space is that of the "C"
// locale: 0x09..0x0D and 0x20, never a byte from 0x80 up.
#pragma once

#include <string>
#include <vector>

std::string trim_white_space(const std::string& text);

// Cuts text into fields at every occurrence of separator. An empty text gives
// no fields; an empty separator gives the whole text as one field.
std::vector<std::string> split_text(const std::string& text, const std::string& separator);
