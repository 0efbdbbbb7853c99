// Whether the program may act on the check's reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/memory_stream.h"
#include "update/publisher_pins.h"
#include "update/update_key.h"

// The version the check asked about and the reply's signature headers.
struct ReplySignature {
    std::int32_t version = 0;
    std::string header;
    std::string freshness;
    std::string keys;
};

// The keys a reply is checked with and the pins its programs are.
struct ReplyKeys {
    // False in a program built without keys: it checks no signature.
    bool checked = false;
    // The key statement the keys come from; 0 for the two keys compiled in.
    std::uint32_t serial = 0;
    // The statement's expiry; no reply is trusted under it after that.
    std::string expires;
    std::vector<PublicKeyPoint> release_keys;
    PublicKeyPoint freshness_key{};
    std::vector<PublisherPin> pins;
};

// A program built without keys trusts every reply; one with keys only a reply
// that a release key signed for this product and the version asked about,
// whose freshness signature verifies and has not expired on the system
// clock. Under a key statement, the freshness key's claim stands for the
// freshness signature and names a statement at most as new as the one held,
// and that statement has not expired.
bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature, const ReplyKeys& keys);
