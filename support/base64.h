// Base64 text (standard alphabet, "=" padding) to bytes.
#pragma once

#include <string>
#include <vector>

// Strict: a length that is a multiple of 4, padding only at the end, no white
// space, no bits set beyond the last byte. False leaves bytes empty.
bool decode_base64(const std::string& text, std::vector<unsigned char>& bytes);
