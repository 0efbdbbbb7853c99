// Whether the program may act on the check's reply.
#pragma once

#include <cstdint>
#include <string>

#include "net/memory_stream.h"

// The version the check asked about and the signature header of the reply.
struct ReplySignature {
    std::int32_t version = 0;
    std::string header;
};

// A program built without a key trusts every reply; one with a key only a
// reply signed for the version it asked about.
bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature);
// With a key, every line of the reply must name its file's hash.
bool hashes_required();
