// The signature that comes with an update list: proof that the key's owner
// wrote exactly this reply as the answer for the version asked about.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/update_key.h"

// The response header that carries it.
extern const char reply_signature_header[];

// True when header (base64 of a DER ECDSA P-256 / SHA-256 signature) is key's
// signature over "wersja=<version>\n" followed by every byte of the body.
bool is_signed_reply(const PublicKeyPoint& key, std::int32_t version, const char* body,
                     std::size_t body_size, const std::string& header);
