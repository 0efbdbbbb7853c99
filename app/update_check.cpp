#include "app/update_check.h"

#include <cstdlib>

#include "app/server.h"
#include "net/http_transfer.h"
#include "support/format.h"
#include "support/smart_ptr_nocopy.h"
#include "support/text_devices.h"
#include "support/text_fields.h"
#include "support/text_reading.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"
#include "ui/texts.h"

UpdateList update_list;

namespace {

// The reply is held in memory; a longer one is no update list.
const std::size_t reply_limit = 16 * 1024 * 1024;

const char version_file_name[] = "wersja.txt";
const char check_path_format[] = "/upload/check_update.php?wersja=%d";

// atoi's reading, but wrapping instead of overflowing: leading white space,
// an optional sign, then decimal digits up to the first other character.
std::int32_t size_from_text(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

}  // namespace

bool check_for_updates(CheckDialog& check_window, UpdateList& list)
{
    check_window.create(IDD_CHECK, nullptr);
    MemoryStream body;
    std::int32_t byte_count = fetch_update_list(check_window, body);
    if (byte_count != 0 && parse_update_list(body, byte_count, list.urls, list.sizes)) {
        int answer = show_message(check_window.window, text_updates_available, MB_YESNO);
        check_window.close();
        return answer == IDYES;
    }
    show_message(check_window.window, text_no_updates, MB_OK);
    check_window.close();
    return false;
}

std::int32_t fetch_update_list(CheckDialog& check_window, MemoryStream& body)
{
    smart_ptr_nocopy<ibuff> version_file(new ifbuff(version_file_name, default_buffer_size));
    std::int32_t version = -1;
    read_integer(version_file, version);
    if (version == 0)
        return 0;

    std::string object_path = format_text(check_path_format, version);
    std::int32_t byte_count = 0;
    HttpTransfer transfer;
    if (transfer.open_request(update_server_host, INTERNET_INVALID_PORT_NUMBER, object_path, "GET",
                              update_server_https))
        transfer.send_request(body, check_window, byte_count, reply_limit);
    transfer.close_all();
    return byte_count;
}

bool parse_update_list(const MemoryStream& body, std::int32_t byte_count,
                       std::vector<std::string>& urls, std::vector<std::int32_t>& sizes)
{
    std::string text(body.data(), static_cast<std::size_t>(byte_count));
    UpdateList parsed;
    for (const std::string& line : split_text(trim_white_space(text), "\r\n")) {
        std::vector<std::string> fields = split_text(trim_white_space(line), ",");
        // An empty line carries nothing; a line without a comma means the
        // reply is not an update list at all (an error page, say).
        if (fields.empty())
            continue;
        if (fields.size() < 2)
            return false;
        parsed.urls.push_back(trim_white_space(fields[0]));
        parsed.sizes.push_back(size_from_text(fields[1]));
    }
    urls.insert(urls.end(), parsed.urls.begin(), parsed.urls.end());
    sizes.insert(sizes.end(), parsed.sizes.begin(), parsed.sizes.end());
    return !urls.empty();
}
