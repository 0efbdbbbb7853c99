#include "update/reply_signature.h"

#include "update/check_request.h"
#include "update/der_signature.h"

const char reply_signature_header[] = "X-Update-Signature";

bool signed_reply_digest(const char* product, std::int32_t version, const char* body,
                         std::size_t body_size, Sha256Digest& digest)
{
    std::string prefix = signed_prefix(product, version);
    return sha256({{prefix.data(), prefix.size()}, {body, body_size}}, digest);
}

bool is_signed_reply(const PublicKeyPoint& key, const Sha256Digest& reply_digest,
                     const std::string& header)
{
    RawSignature signature;
    return read_signature_text(header, signature) &&
           is_valid_signature(key, reply_digest, signature);
}
