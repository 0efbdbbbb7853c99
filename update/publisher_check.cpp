#include "update/publisher_check.h"

#include <algorithm>
#include <vector>

#include "update/pe_image.h"
#include "update/platform_code_signing.h"

namespace {

bool is_pinned(const Sha256Digest& key, const PublisherPins& pins)
{
    return std::find(pins.pins, pins.pins + pins.count, key) != pins.pins + pins.count;
}

}  // namespace

bool has_pinned_publisher(const std::string& path, std::string_view bytes,
                          const PublisherPins& pins)
{
    if (pins.count == 0 || !is_pe_image(bytes))
        return true;
    // The platform reads the signature only from a table of the one form
    // it is made for.
    if (!has_sound_certificate_table(bytes))
        return false;
    std::vector<Sha256Digest> keys;
    return signer_chain_keys(path, keys) &&
           std::any_of(keys.begin(), keys.end(),
                       [&pins](const Sha256Digest& key) { return is_pinned(key, pins); });
}
