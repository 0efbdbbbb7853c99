// A binary patch the update list offers beside a file: it makes the file's
// listed form from one installed form.
#pragma once

#include <cstdint>
#include <string>

#include "net/url_parts.h"

struct PatchOffer {
    // The patch's URL; empty when the line offers no patch.
    std::string url;
    // Its parts, split when the list is read.
    UrlParts location;
    std::int32_t size = 0;
    // The SHA-256, as 64 lowercase hex digits, of the installed form the
    // patch applies to.
    std::string base_hash;
};
