// The key claim that comes with an update list for a program built with a
// root key set: the serial of the key statement whose keys signed the
// reply, under the freshness key's signature. It signs "klucze=<serial>\n"
// followed by what the freshness signature signs, with the same expiry, so
// it binds the serial to exactly that reply until then.
#pragma once

#include <cstdint>
#include <string>

#include "update/der_signature.h"
#include "update/platform_crypto.h"
#include "update/update_key.h"

// The response header that carries it: "<serial> <base64 DER signature>".
extern const char key_claim_header[];

struct KeyClaim {
    std::uint32_t serial = 0;
    RawSignature signature{};
};
// The serial written as the server writes it (no leading zero), one space,
// the signature's base64, nothing more.
bool parse_key_claim(const std::string& header, KeyClaim& claim);

// True when claim_header is freshness_key's claim over reply_digest with
// the expiry of freshness_header (an X-Update-Freshness value), that
// expiry is later than now, and the serial claimed is at most held_serial:
// a reply whose keys come from a statement the program does not hold is
// no reply it can check.
bool is_claimed_reply(const PublicKeyPoint& freshness_key, std::uint32_t held_serial,
                      const Sha256Digest& reply_digest, const std::string& claim_header,
                      const std::string& freshness_header, const std::string& now);
