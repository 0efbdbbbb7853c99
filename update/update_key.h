// The vendor's public key, compiled into each program from a source file of
// its own that CMake writes from the key file.
#pragma once

#include <array>

// An ECDSA P-256 public key: the point's X then Y, 32 bytes each, big-endian.
using PublicKeyPoint = std::array<unsigned char, 64>;

// Null in a program built without a key: it checks no signature.
extern const PublicKeyPoint* const update_public_key;
