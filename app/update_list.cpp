#include "app/update_list.h"

#include <algorithm>
#include <utility>

#include "net/url_parts.h"
#include "support/characters.h"
#include "support/decimal_text.h"
#include "support/hex.h"
#include "support/text_fields.h"
#include "update/url_file_name.h"

UpdateList update_list;

namespace {

// A size that no file has, for a number that does not fit in 32 bits.
const std::int32_t unusable_size = -1;

const std::size_t sha256_hex_digits = 64;

// atoi's reading: leading white space, an optional sign, then decimal digits
// up to the first other character; no digits give 0.
std::int32_t size_from_text(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && is_white_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const std::string_view rest = std::string_view(text).substr(i);
    const std::string_view digits = rest.substr(0, decimal_digits_at_start(rest));
    if (digits.empty())
        return 0;
    std::uint64_t value = 0;
    if (!read_decimal(digits, negative ? 2147483648u : 2147483647u, value))
        return unusable_size;
    const auto number = static_cast<std::int64_t>(value);
    return static_cast<std::int32_t>(negative ? -number : number);
}

// A SHA-256 field: exactly 64 hex digits (white space around them aside),
// kept in lower case.
bool read_hash_field(const std::string& field, std::string& hash)
{
    return read_hex_text(trim_white_space(field), sha256_hex_digits, hash);
}

// A size in decimal digits alone (white space around them aside) that fits
// in 32 bits.
bool read_plain_size(const std::string& field, std::int32_t& size)
{
    std::uint64_t value = 0;
    if (!read_decimal(trim_white_space(field), INT32_MAX, value))
        return false;
    size = static_cast<std::int32_t>(value);
    return true;
}

// Fields 4 to 6: the patch's URL, its size and the hash of the installed
// form it applies to; no patch unless all three are well formed.
PatchOffer read_patch_fields(const std::vector<std::string>& fields)
{
    PatchOffer patch;
    if (fields.size() < 6)
        return {};
    patch.url = trim_white_space(fields[3]);
    if (!split_url(patch.url, patch.location) || !read_plain_size(fields[4], patch.size) ||
        !read_hash_field(fields[5], patch.base_hash))
        return {};
    return patch;
}

// Fields 7 and 8: the compressed form's URL and size; none unless both are
// well formed, whatever fields 4 to 6 hold.
CompressedOffer read_compressed_fields(const std::vector<std::string>& fields)
{
    CompressedOffer compressed;
    if (fields.size() < 8)
        return {};
    compressed.url = trim_white_space(fields[6]);
    if (!split_url(compressed.url, compressed.location) ||
        !read_plain_size(fields[7], compressed.size))
        return {};
    return compressed;
}

// The file a line's first three fields offer: its URL split, and the name
// its path gives, if any.
OfferedFile read_file_fields(const std::vector<std::string>& fields, const std::string& hash)
{
    OfferedFile file;
    file.url = trim_white_space(fields[0]);
    file.size = size_from_text(fields[1]);
    file.hash = hash;
    std::string name;
    if (split_url(file.url, file.location) &&
        file_name_from_url_path(file.location.object_path, name))
        file.file_name = name;
    return file;
}

// Lines end at CR LF, and at a CR or an LF on its own.
std::vector<std::string> reply_lines(std::string text)
{
    std::replace(text.begin(), text.end(), '\r', '\n');
    return split_text(trim_white_space(text), "\n");
}

}  // namespace

bool parse_update_list(const MemoryStream& body, std::int32_t byte_count, UpdateList& list,
                       bool hashes_required)
{
    UpdateList parsed;
    for (const std::string& line :
         reply_lines(std::string(body.data(), static_cast<std::size_t>(byte_count)))) {
        std::vector<std::string> fields = split_text(trim_white_space(line), ",");
        // An empty line carries nothing; a line without a comma means the
        // reply is not an update list at all (an error page, say).
        if (fields.empty())
            continue;
        if (fields.size() < 2)
            return false;
        std::string hash;
        if (!(fields.size() > 2 && read_hash_field(fields[2], hash)) && hashes_required)
            return false;
        OfferedFile file = read_file_fields(fields, hash);
        if (!hash.empty()) {
            file.patch = read_patch_fields(fields);
            file.compressed = read_compressed_fields(fields);
        }
        parsed.files.push_back(std::move(file));
    }
    list.files.insert(list.files.end(), parsed.files.begin(), parsed.files.end());
    return !list.files.empty();
}
