#include "app/reply_trust.h"

#include <algorithm>

#include "update/key_claim.h"
#include "update/reply_freshness.h"
#include "update/reply_signature.h"

bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature, const ReplyKeys& keys)
{
    if (!keys.checked)
        return true;
    Sha256Digest digest;
    if (!signed_reply_digest(update_product, signature.version, body.data(),
                             static_cast<std::size_t>(byte_count), digest) ||
        std::none_of(keys.release_keys.begin(), keys.release_keys.end(),
                     [&](const PublicKeyPoint& key) { return is_signed_reply(key, digest, signature.header); }))
        return false;
    const std::string now = utc_now_stamp();
    if (keys.serial == 0)
        return is_fresh_reply(keys.freshness_key, digest, signature.freshness, now);
    return keys.expires > now && is_claimed_reply(keys.freshness_key, keys.serial, digest,
                                                  signature.keys, signature.freshness, now);
}
