// The Content-Range header of a partial answer (206): which bytes of the
// resource its body holds.
#pragma once

#include <cstdint>
#include <string>

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // The resource's whole length, unless the server gave "*".
    bool length_known = false;
    std::uint64_t length = 0;
};

// Reads "bytes <first>-<last>/<length or *>" (the unit in any case): decimal
// digits only, first not after last, last inside a known length. Anything
// else, an unsatisfied range ("bytes */<length>") included, is false.
bool parse_content_range(const std::string& value, ContentRange& range);

// Whether range is exactly the rest of a resource of size bytes from first on.
bool is_rest_from(const ContentRange& range, std::uint64_t first, std::uint64_t size);
