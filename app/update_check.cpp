#include "app/update_check.h"

#include "app/installed_version.h"
#include "app/key_state.h"
#include "app/machine_identity.h"
#include "app/update_server.h"
#include "net/http_transfer.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"
#include "ui/texts.h"
#include "update/check_request.h"
#include "update/key_claim.h"
#include "update/reply_freshness.h"
#include "update/reply_signature.h"
#include "update/rollout_group.h"

namespace {

// The reply is held in memory; a longer one is no update list.
const std::size_t reply_limit = 16 * 1024 * 1024;

}  // namespace

bool check_for_updates(CheckDialog& check_window, UpdateList& list)
{
    check_window.create(IDD_CHECK, nullptr);
    MemoryStream body;
    ReplySignature signature;
    std::int32_t byte_count = fetch_update_list(check_window, body, signature);
    // With keys, every line of the reply must name its file's hash.
    ReplyKeys keys = reply_keys(check_window, signature.keys);
    list.pins = keys.pins;
    if (byte_count != 0 && is_trusted_reply(body, byte_count, signature, keys) &&
        parse_update_list(body, byte_count, list, keys.checked)) {
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

    std::int32_t byte_count = 0;
    HttpTransfer transfer(check_head_timeout_ms);
    const bool opened = transfer.open_request(update_server_host, INTERNET_INVALID_PORT_NUMBER,
                                              check_path(version), "GET", update_server_https);
    // The machine's rollout group goes with the check, redirects included.
    if (opened)
        transfer.add_request_header(
            rollout_group_line(rollout_group(update_product, version, machine_identity())));
    if (opened && transfer.send_request(body, check_window, byte_count, reply_limit)) {
        transfer.response_header(reply_signature_header, signature.header);
        transfer.response_header(reply_freshness_header, signature.freshness);
        transfer.response_header(key_claim_header, signature.keys);
    }
    transfer.close_all();
    return byte_count;
}
