// One file the update list offers, read once from its line: what the
// download fetches, checks and stages, and the name the installation
// installs it under.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/url_parts.h"
#include "update/patch_offer.h"

// The file's compressed form (.xz) that a line with a hash offers in fields
// 7 and 8: its URL, split when the list is read, and its size.
struct CompressedOffer {
    // Empty when the line offers none.
    std::string url;
    UrlParts location;
    std::int32_t size = 0;
};

struct OfferedFile {
    // As listed.
    std::string url;
    // The URL's parts; split once, when the list is read.
    UrlParts location;
    std::int32_t size = 0;
    // The file's SHA-256 as 64 lowercase hex digits, or empty when the line
    // named none.
    std::string hash;
    // The patch a line with a hash offers in fields 4 to 6, or none.
    PatchOffer patch;
    CompressedOffer compressed;
    // The name the file is shown, staged and installed under, from the
    // URL's path (update/url_file_name.h); none when the URL gives none.
    // Whether it can be staged (update/staged_name.h) the download judges.
    std::optional<std::string> file_name;
};
