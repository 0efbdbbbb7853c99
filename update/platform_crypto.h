// SHA-256 and ECDSA P-256 verification by the platform's cryptography (CNG);
// the program does none of its own.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "update/der_signature.h"
#include "update/update_key.h"

using Sha256Digest = std::array<unsigned char, 32>;

// The digest of the pieces hashed one after another, as if joined.
struct BytePiece {
    const void* data;
    std::size_t size;
};
bool sha256(std::initializer_list<BytePiece> pieces, Sha256Digest& digest);
// True when the bytes' SHA-256 is hash, 64 lowercase hex digits.
bool has_sha256(const void* data, std::size_t size, const std::string& hash);

// True only when the platform accepts signature as key's over digest.
bool is_valid_signature(const PublicKeyPoint& key, const Sha256Digest& digest,
                        const RawSignature& signature);
