#include "update/key_claim.h"

#include "support/decimal_text.h"
#include "support/hex.h"
#include "update/reply_freshness.h"

const char key_claim_header[] = "X-Update-Keys";

bool parse_key_claim(const std::string& header, KeyClaim& claim)
{
    const std::size_t space = header.find(' ');
    std::uint64_t serial = 0;
    if (space == std::string::npos || header[0] == '0' ||
        !read_decimal(std::string_view(header).substr(0, space), 2147483647, serial) ||
        !read_signature_text(header.substr(space + 1), claim.signature))
        return false;
    claim.serial = static_cast<std::uint32_t>(serial);
    return true;
}

bool is_claimed_reply(const PublicKeyPoint& freshness_key, std::uint32_t held_serial,
                      const Sha256Digest& reply_digest, const std::string& claim_header,
                      const std::string& freshness_header, const std::string& now)
{
    KeyClaim claim;
    FreshnessClaim freshness;
    if (!parse_key_claim(claim_header, claim) || claim.serial > held_serial ||
        !parse_freshness_header(freshness_header, freshness) || freshness.expires <= now)
        return false;
    std::string message = "klucze=" + std::to_string(claim.serial) + "\nexpires=" + freshness.expires +
                          "\n" + hex_text(reply_digest.data(), reply_digest.size());
    Sha256Digest digest;
    return sha256({{message.data(), message.size()}}, digest) &&
           is_valid_signature(freshness_key, digest, claim.signature);
}
