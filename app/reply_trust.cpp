#include "app/reply_trust.h"

#include "update/reply_freshness.h"
#include "update/reply_signature.h"
#include "update/update_key.h"

bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature)
{
    if (update_public_key == nullptr)
        return true;
    Sha256Digest digest;
    return signed_reply_digest(update_product, signature.version, body.data(),
                               static_cast<std::size_t>(byte_count), digest) &&
           is_signed_reply(*update_public_key, digest, signature.header) &&
           is_fresh_reply(*update_freshness_key, digest, signature.freshness, utc_now_stamp());
}

bool hashes_required()
{
    return update_public_key != nullptr;
}
