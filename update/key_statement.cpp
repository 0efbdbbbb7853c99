#include "update/key_statement.h"

#include <algorithm>
#include <cstring>

#include "support/decimal_text.h"
#include "support/hex.h"
#include "update/reply_freshness.h"

const char statement_prefix[] = "update-key-statement\n";

namespace {

const std::size_t most_release_keys = 2;
const std::size_t most_pins = 16;
const std::size_t most_root_keys = 16;
const std::size_t most_signatures = 32;

// The "name=value\n" lines of a statement, read in their order.
class StatementLines {
public:
    StatementLines(std::string_view text, std::size_t at) : text_(text), at_(at) {}

    // True, with value, when the next line is name's; otherwise nothing moves.
    bool next(const char* name, std::string& value)
    {
        const std::size_t length = std::strlen(name);
        std::string_view rest = text_.substr(at_);
        if (rest.size() <= length || rest.compare(0, length, name) != 0 || rest[length] != '=')
            return false;
        std::size_t end = rest.find('\n');
        if (end == std::string_view::npos)
            return false;
        value = std::string(rest.substr(length + 1, end - length - 1));
        at_ += end + 1;
        return true;
    }

    std::size_t at() const { return at_; }

private:
    std::string_view text_;
    std::size_t at_;
};

// Exactly bytes.size() * 2 lowercase hex digits.
template <std::size_t size>
bool read_hex_bytes(const std::string& text, std::array<unsigned char, size>& bytes)
{
    std::string lower;
    if (!read_hex_text(text, size * 2, lower) || lower != text)
        return false;
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(hex_digit_value(text[2 * i]) * 16 + hex_digit_value(text[2 * i + 1]));
    return true;
}

// Written as the server writes it: no leading zero.
bool read_count(const std::string& text, std::uint64_t largest, std::uint64_t& value)
{
    return !text.empty() && text[0] != '0' && read_decimal(text, largest, value);
}

template <typename Item, typename Read>
bool read_repeated(StatementLines& lines, const char* name, std::size_t most, std::vector<Item>& items,
                   Read read)
{
    std::string value;
    while (lines.next(name, value)) {
        Item item{};
        if (items.size() == most || !read(value, item))
            return false;
        items.push_back(item);
    }
    return true;
}

bool read_points(StatementLines& lines, const char* name, std::size_t most,
                 std::vector<PublicKeyPoint>& points)
{
    return read_repeated(lines, name, most, points, read_hex_bytes<64>);
}

bool is_product_name(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
    });
}

bool has_distinct(const std::vector<PublicKeyPoint>& points)
{
    std::vector<PublicKeyPoint> sorted = points;
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

bool read_statement_text(StatementLines& lines, KeyStatement& statement)
{
    std::string serial, threshold, freshness;
    std::uint64_t value = 0;
    if (!lines.next("produkt", statement.product) || !is_product_name(statement.product) ||
        !lines.next("serial", serial) || !read_count(serial, 2147483647, value) ||
        !lines.next("expires", statement.expires) || !is_utc_stamp(statement.expires))
        return false;
    statement.serial = static_cast<std::uint32_t>(value);
    if (!read_points(lines, "release", most_release_keys, statement.release_keys) ||
        statement.release_keys.empty() || !lines.next("freshness", freshness) ||
        !read_hex_bytes(freshness, statement.freshness_key) ||
        !read_repeated(lines, "pin", most_pins, statement.pins, read_hex_bytes<32>) ||
        !read_points(lines, "root", most_root_keys, statement.next_roots.keys))
        return false;
    if (statement.next_roots.keys.empty())
        return true;
    if (!lines.next("threshold", threshold) ||
        !read_count(threshold, statement.next_roots.keys.size(), value) ||
        !has_distinct(statement.next_roots.keys))
        return false;
    statement.next_roots.threshold = static_cast<std::size_t>(value);
    return true;
}

bool is_signed_by(const PublicKeyPoint& key, const SignedStatement& signed_statement)
{
    return std::any_of(signed_statement.signatures.begin(), signed_statement.signatures.end(),
                       [&](const RawSignature& signature) {
                           return is_valid_signature(key, signed_statement.digest, signature);
                       });
}

bool meets_threshold(const RootSet& roots, const SignedStatement& signed_statement)
{
    return roots.threshold >= 1 && signer_count(roots.keys, signed_statement) >= roots.threshold;
}

}  // namespace

bool read_key_statement(std::string_view text, std::size_t& at, SignedStatement& read)
{
    StatementLines lines(text, at);
    SignedStatement statement;
    if (!read_statement_text(lines, statement.statement))
        return false;
    std::string_view signed_text = text.substr(at, lines.at() - at);
    const std::size_t prefix_length = std::strlen(statement_prefix);
    if (!sha256({{statement_prefix, prefix_length}, {signed_text.data(), signed_text.size()}},
                statement.digest) ||
        !read_repeated(lines, "signature", most_signatures, statement.signatures,
                       read_signature_text))
        return false;
    at = lines.at();
    read = statement;
    return true;
}

std::size_t signer_count(const std::vector<PublicKeyPoint>& keys, const SignedStatement& signed_statement)
{
    std::vector<PublicKeyPoint> distinct = keys;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    return static_cast<std::size_t>(std::count_if(distinct.begin(), distinct.end(), [&](const PublicKeyPoint& key) {
        return is_signed_by(key, signed_statement);
    }));
}

bool accept_statement(KeyState& state, const SignedStatement& signed_statement, const char* product,
                      bool successor)
{
    const KeyStatement& next = signed_statement.statement;
    const RootSet& new_roots = next.next_roots;
    if (next.product != product || (successor && next.serial != state.statement.serial + 1) ||
        !meets_threshold(state.roots, signed_statement) ||
        (!new_roots.keys.empty() && !meets_threshold(new_roots, signed_statement)))
        return false;
    if (!new_roots.keys.empty())
        state.roots = new_roots;
    state.statement = next;
    return true;
}

bool start_key_state(const RootSet& roots, std::string_view built_in, const char* product,
                     KeyState& state)
{
    std::size_t at = 0;
    SignedStatement statement;
    state = KeyState{roots, {}};
    return read_key_statement(built_in, at, statement) && at == built_in.size() &&
           accept_statement(state, statement, product, false);
}

bool apply_key_chain(KeyState& state, std::string_view chain, const char* product,
                     std::string& kept)
{
    kept.clear();
    for (std::size_t at = 0; at < chain.size();) {
        const std::size_t start = at;
        SignedStatement statement;
        if (!read_key_statement(chain, at, statement))
            return false;
        if (statement.statement.serial <= state.statement.serial)
            continue;
        if (!accept_statement(state, statement, product, true))
            return false;
        kept.append(chain.substr(start, at - start));
    }
    return true;
}
