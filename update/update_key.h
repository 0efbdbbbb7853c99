// The vendor's public keys and the product name replies are signed for,
// compiled into each program from a source file of its own that CMake writes
// from the key files.
#pragma once

#include <array>
#include <cstddef>

// An ECDSA P-256 public key: the point's X then Y, 32 bytes each, big-endian.
using PublicKeyPoint = std::array<unsigned char, 64>;

// The release key signs what a reply offers; the freshness key how long the
// reply stays good. Both are null in a program built without keys: it checks
// no signature.
extern const PublicKeyPoint* const update_public_key;
extern const PublicKeyPoint* const update_freshness_key;

// A program built with a root key set (UPDATE_ROOT_KEYS) has neither: it
// trusts the keys that a key statement signed by threshold of these keys
// names (update/key_statement.h), starting from the statement it is built
// with. count is 0 in a program built without.
struct RootKeys {
    const PublicKeyPoint* keys;
    std::size_t count;
    std::size_t threshold;
    const char* statement;
};
extern const RootKeys update_root_keys;

// The name the release key's signature binds a reply to.
extern const char update_product[];
