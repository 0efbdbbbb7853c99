// The update list: the check's reply, one line per offered file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/memory_stream.h"
#include "update/offered_file.h"
#include "update/publisher_pins.h"

// The offered files, one per line, in the order of the reply, and the pins
// of the publishers whose programs may be among them.
struct UpdateList {
    std::vector<OfferedFile> files;
    std::vector<PublisherPin> pins;
};

extern UpdateList update_list;

// Appends the entries of the first byte_count bytes of body to list; true
// when list is then non-empty. hashes_required: a line without a
// well-formed hash makes the whole reply no update list (false, nothing
// appended). Patch or compressed-form fields that are absent or malformed
// leave the line without them: they never spoil the list; fields after the
// eighth are ignored.
bool parse_update_list(const MemoryStream& body, std::int32_t byte_count, UpdateList& list,
                       bool hashes_required);
