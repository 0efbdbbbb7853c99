// Whether the program may act on the check's reply.
#pragma once

#include <cstdint>
#include <string>

#include "net/memory_stream.h"

// The version the check asked about and the reply's two signature headers.
struct ReplySignature {
    std::int32_t version = 0;
    std::string header;
    std::string freshness;
};

// A program built without keys trusts every reply; one with keys only a reply
// the release key signed for this product and the version asked about, whose
// freshness signature verifies and has not expired on the system clock.
bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature);
// With keys, every line of the reply must name its file's hash.
bool hashes_required();
