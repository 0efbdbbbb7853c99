// The update list: the check's reply, one line per offered file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/memory_stream.h"
#include "update/patch_offer.h"

// The offered files; entry i of each sequence describes one file.
struct UpdateList {
    std::vector<std::string> urls;
    std::vector<std::int32_t> sizes;
    // The file's SHA-256 as 64 lowercase hex digits, or empty when the line
    // named none.
    std::vector<std::string> hashes;
    // The patch a line with a hash offers in fields 4 to 6, or none.
    std::vector<PatchOffer> patches;
};

extern UpdateList update_list;

// Appends the entries of the first byte_count bytes of body to list; true
// when list is then non-empty. hashes_required: a line without a
// well-formed hash makes the whole reply no update list (false, nothing
// appended). Patch fields that are absent or malformed leave the line a
// plain file: they never spoil the list.
bool parse_update_list(const MemoryStream& body, std::int32_t byte_count, UpdateList& list,
                       bool hashes_required);
