// The release key's signature that comes with an update list: proof that the
// key's owner wrote exactly this reply as the answer, for this product, to
// the version asked about.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/platform_crypto.h"
#include "update/update_key.h"

// The response header that carries it.
extern const char reply_signature_header[];

// The digest of what the release key signs: signed_prefix(product, version)
// followed by every byte of the body. The freshness signature covers it too.
bool signed_reply_digest(const char* product, std::int32_t version, const char* body,
                         std::size_t body_size, Sha256Digest& digest);

// True when header (base64 of a DER ECDSA P-256 / SHA-256 signature) is key's
// signature over the bytes whose digest is reply_digest.
bool is_signed_reply(const PublicKeyPoint& key, const Sha256Digest& reply_digest,
                     const std::string& header);
