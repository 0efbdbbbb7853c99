#include "app/update_check.h"

#include <algorithm>
#include <cstdlib>

#include "app/installed_version.h"
#include "app/server.h"
#include "net/http_transfer.h"
#include "support/format.h"
#include "support/text_fields.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"
#include "ui/texts.h"
#include "update/reply_signature.h"
#include "update/update_key.h"

UpdateList update_list;

namespace {

// The reply is held in memory; a longer one is no update list.
const std::size_t reply_limit = 16 * 1024 * 1024;

const char check_path_format[] = "/upload/check_update.php?wersja=%d";

// A size that no file has, for a number that does not fit in 32 bits.
const std::int32_t unusable_size = -1;

// atoi's reading: leading white space, an optional sign, then decimal digits
// up to the first other character; no digits give 0.
std::int32_t size_from_text(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit)
            return unusable_size;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

// A SHA-256 field: exactly 64 hex digits (white space around them aside),
// kept in lower case.
bool read_hash_field(const std::string& field, std::string& hash)
{
    std::string digits = trim_white_space(field);
    if (digits.size() != 64)
        return false;
    for (char& c : digits) {
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    hash = digits;
    return true;
}

// Lines end at CR LF, and at a CR or an LF on its own.
std::vector<std::string> reply_lines(std::string text)
{
    std::replace(text.begin(), text.end(), '\r', '\n');
    return split_text(trim_white_space(text), "\n");
}

// A program built without a key trusts every reply; one with a key only a
// reply signed for the version it asked about.
bool is_trusted_reply(const MemoryStream& body, std::int32_t byte_count,
                      const ReplySignature& signature)
{
    return update_public_key == nullptr ||
           is_signed_reply(*update_public_key, signature.version, body.data(),
                           static_cast<std::size_t>(byte_count), signature.header);
}

}  // namespace

bool check_for_updates(CheckDialog& check_window, UpdateList& list)
{
    check_window.create(IDD_CHECK, nullptr);
    MemoryStream body;
    ReplySignature signature;
    std::int32_t byte_count = fetch_update_list(check_window, body, signature);
    if (byte_count != 0 && is_trusted_reply(body, byte_count, signature) &&
        parse_update_list(body, byte_count, list, update_public_key != nullptr)) {
        int answer = show_message(check_window.window, text_updates_available, MB_YESNO);
        check_window.close();
        return answer == IDYES;
    }
    show_message(check_window.window, text_no_updates, MB_OK);
    check_window.close();
    return false;
}

std::int32_t fetch_update_list(CheckDialog& check_window, MemoryStream& body,
                               ReplySignature& signature)
{
    std::int32_t version = read_installed_version();
    if (version == 0)
        return 0;
    signature.version = version;

    std::string object_path = format_text(check_path_format, version);
    std::int32_t byte_count = 0;
    HttpTransfer transfer;
    if (transfer.open_request(update_server_host, INTERNET_INVALID_PORT_NUMBER, object_path, "GET",
                              update_server_https) &&
        transfer.send_request(body, check_window, byte_count, reply_limit))
        transfer.response_header(reply_signature_header, signature.header);
    transfer.close_all();
    return byte_count;
}

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
        parsed.urls.push_back(trim_white_space(fields[0]));
        parsed.sizes.push_back(size_from_text(fields[1]));
        parsed.hashes.push_back(hash);
    }
    list.urls.insert(list.urls.end(), parsed.urls.begin(), parsed.urls.end());
    list.sizes.insert(list.sizes.end(), parsed.sizes.begin(), parsed.sizes.end());
    list.hashes.insert(list.hashes.end(), parsed.hashes.begin(), parsed.hashes.end());
    return !list.urls.empty();
}
