// Whole files in the .xz format as the server makes them with xz: one
// stream of blocks, each LZMA2 alone or after the x86 branch filter, with a
// CRC32, CRC64 or no check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The largest dictionary a stream may ask for, xz's default (-6). The
// decoder's own memory is that dictionary, at most, and about 200 KiB more;
// the server compresses with no larger one.
const std::uint32_t xz_dictionary_limit = 8 * 1024 * 1024;

// Makes in made the file that stream holds. Room for size_limit bytes is
// reserved first, so pass the size the file must have. False, made's
// contents unspecified, for a stream that asks for a dictionary over
// xz_dictionary_limit, declares or holds more than size_limit bytes, is cut
// or continues past its end, fails a check (a header's CRC32, a block's
// check, the index), or uses anything xz does not write here: other filters
// or filter options, a SHA-256 check, more than one stream, stream padding.
// The stream is read where it lies, never past its end.
bool decode_xz(std::string_view stream, std::size_t size_limit, std::string& made);

// The bytes of a stream as they arrive, for decoding it while it comes.
class ArrivingBytes {
public:
    // Waits until at least the first count bytes are there and returns how
    // many are; fewer than count when no more will come.
    virtual std::size_t wait_for(std::size_t count) = 0;

protected:
    ~ArrivingBytes() = default;
};

// As above, for a stream that fills the bytes of stream while it is
// decoded: none is read before arriving says it is there.
bool decode_xz(std::string_view stream, ArrivingBytes& arriving, std::size_t size_limit,
               std::string& made);
