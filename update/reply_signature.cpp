#include "update/reply_signature.h"

#include <vector>

#include "support/base64.h"
#include "update/check_request.h"
#include "update/der_signature.h"
#include "update/platform_crypto.h"

const char reply_signature_header[] = "X-Update-Signature";

bool is_signed_reply(const PublicKeyPoint& key, std::int32_t version, const char* body,
                     std::size_t body_size, const std::string& header)
{
    std::vector<unsigned char> der;
    RawSignature signature;
    if (!decode_base64(header, der) || !der_to_raw_signature(der, signature))
        return false;
    std::string prefix = version_query(version) + "\n";
    Sha256Digest digest;
    return sha256({{prefix.data(), prefix.size()}, {body, body_size}}, digest) &&
           is_valid_signature(key, digest, signature);
}
