// The freshness key's signature that comes with an update list: until when
// the reply may be used. It signs "expires=<stamp>\n" followed by the
// lowercase hex of the digest the release key signed, so it can keep a
// genuine reply alive but can never make another reply verify; a recorded
// reply stops verifying once its expiry has passed.
#pragma once

#include <string>

#include "update/der_signature.h"
#include "update/platform_crypto.h"
#include "update/update_key.h"

// The response header that carries it: "<stamp> <base64 DER signature>".
extern const char reply_freshness_header[];

// A time in UTC as "YYYYMMDDTHHMMSSZ": fixed width, so that such stamps
// compare as text in the order of their times.
bool is_utc_stamp(const std::string& text);

struct FreshnessClaim {
    std::string expires;
    RawSignature signature;
};
// Exactly a stamp, one space and the signature's base64, nothing more.
bool parse_freshness_header(const std::string& header, FreshnessClaim& claim);

// True when header is key's signature over reply_digest with an expiry later
// than now (a stamp).
bool is_fresh_reply(const PublicKeyPoint& key, const Sha256Digest& reply_digest,
                    const std::string& header, const std::string& now);

// The system clock, as a stamp.
std::string utc_now_stamp();
