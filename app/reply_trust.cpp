#include "app/reply_trust.h"

#include "update/reply_signature.h"
#include "update/update_key.h"

bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature)
{
    return update_public_key == nullptr ||
           is_signed_reply(*update_public_key, signature.version, body.data(),
                           static_cast<std::size_t>(byte_count), signature.header);
}

bool hashes_required()
{
    return update_public_key != nullptr;
}
