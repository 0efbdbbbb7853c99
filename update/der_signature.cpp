#include "update/der_signature.h"

#include <cstddef>

#include "support/base64.h"

namespace {

const unsigned char sequence_tag = 0x30;
const unsigned char integer_tag = 0x02;
const std::size_t integer_size = 32;

// Reads one INTEGER at der[at] into out (right-aligned), moving at past it.
bool read_integer(const std::vector<unsigned char>& der, std::size_t& at, unsigned char* out)
{
    if (der.size() - at < 2 || der[at] != integer_tag)
        return false;
    std::size_t length = der[at + 1];
    at += 2;
    // A length of 0x80 or more would be the long form, never needed here.
    if (length == 0 || length > integer_size + 1 || der.size() - at < length)
        return false;
    const unsigned char* value = &der[at];
    at += length;
    if (value[0] & 0x80)
        return false;  // negative
    if (value[0] == 0 && length > 1) {
        if (!(value[1] & 0x80))
            return false;  // a zero byte that is not needed
        ++value;
        --length;
    }
    if (length > integer_size)
        return false;
    for (std::size_t i = 0; i < integer_size - length; ++i)
        out[i] = 0;
    for (std::size_t i = 0; i < length; ++i)
        out[integer_size - length + i] = value[i];
    return true;
}

}  // namespace

bool der_to_raw_signature(const std::vector<unsigned char>& der, RawSignature& raw)
{
    if (der.size() < 2 || der[0] != sequence_tag || der[1] >= 0x80 || der[1] != der.size() - 2)
        return false;
    std::size_t at = 2;
    RawSignature read = {};
    if (!read_integer(der, at, read.data()) || !read_integer(der, at, read.data() + integer_size))
        return false;
    if (at != der.size())
        return false;
    raw = read;
    return true;
}

bool read_signature_text(const std::string& base64_text, RawSignature& raw)
{
    std::vector<unsigned char> der;
    return decode_base64(base64_text, der) && der_to_raw_signature(der, raw);
}
