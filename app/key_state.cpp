#include "app/key_state.h"

#include <cstring>

#include "app/update_server.h"
#include "net/http_transfer.h"
#include "support/files.h"
#include "ui/modeless_dialog.h"
#include "update/check_request.h"
#include "update/key_claim.h"
#include "update/key_statement.h"
#include "update/staging_folder.h"

namespace {

// A statement is a few kilobytes; a longer answer is none.
const std::size_t statement_limit = 64 * 1024;

std::vector<PublisherPin> compiled_pins()
{
    return std::vector<PublisherPin>(publisher_pins.pins, publisher_pins.pins + publisher_pins.count);
}

ReplyKeys compiled_keys()
{
    ReplyKeys keys;
    keys.pins = compiled_pins();
    keys.checked = update_public_key != nullptr;
    if (keys.checked) {
        keys.release_keys.push_back(*update_public_key);
        keys.freshness_key = *update_freshness_key;
    }
    return keys;
}

ReplyKeys statement_keys(const KeyStatement& statement)
{
    ReplyKeys keys;
    keys.checked = true;
    keys.serial = statement.serial;
    keys.expires = statement.expires;
    keys.release_keys = statement.release_keys;
    keys.freshness_key = statement.freshness_key;
    keys.pins = statement.pins;
    return keys;
}

// The statement built in, then the kept ones when they all follow it.
bool held_keys(KeyState& state, std::string& chain)
{
    RootSet roots{{update_root_keys.keys, update_root_keys.keys + update_root_keys.count},
                  update_root_keys.threshold};
    if (!start_key_state(roots, update_root_keys.statement, update_product, state))
        return false;
    KeyState kept = state;
    std::string text;
    if (read_whole_file(key_statement_file, text) && apply_key_chain(kept, text, update_product, chain))
        state = kept;
    else
        chain.clear();
    return true;
}

bool fetch_statement(CheckDialog& check_window, std::uint32_t serial, MemoryStream& body)
{
    HttpTransfer transfer(check_head_timeout_ms);
    std::int32_t byte_count = 0;
    bool fetched = transfer.open_request(update_server_host, INTERNET_INVALID_PORT_NUMBER,
                                         statement_path(serial), "GET", update_server_https) &&
                   transfer.send_request(body, check_window, byte_count, statement_limit);
    transfer.close_all();
    return fetched;
}

// The next statement, fetched and accepted; its text is added to chain.
bool fetch_successor(CheckDialog& check_window, KeyState& state, std::string& chain)
{
    MemoryStream body;
    if (!fetch_statement(check_window, state.statement.serial + 1, body))
        return false;
    const std::string text(body.begin(), body.end());
    std::size_t at = 0;
    SignedStatement statement;
    if (!read_key_statement(text, at, statement) || at != text.size() ||
        !accept_statement(state, statement, update_product, true))
        return false;
    chain += text;
    return true;
}

// All or nothing: written aside, then renamed over the kept file. A folder
// that cannot take it keeps nothing, and the statements are fetched again.
void keep_chain(const std::string& chain)
{
    if (!write_whole_file(key_statement_aside, chain.data(), chain.size()) ||
        !replace_file(key_statement_aside, key_statement_file))
        remove_file(key_statement_aside);
}

}  // namespace

ReplyKeys reply_keys(CheckDialog& check_window, const std::string& claim_header)
{
    if (update_root_keys.count == 0)
        return compiled_keys();
    KeyState state;
    std::string chain;
    // A program whose built-in statement its roots refuse trusts no reply.
    if (!held_keys(state, chain)) {
        ReplyKeys none;
        none.checked = true;
        return none;
    }
    KeyClaim claim;
    if (parse_key_claim(claim_header, claim) && claim.serial > state.statement.serial) {
        unsigned fetched = 0;
        while (fetched < most_statements_per_run && state.statement.serial < claim.serial &&
               fetch_successor(check_window, state, chain))
            ++fetched;
        if (fetched > 0)
            keep_chain(chain);
    }
    return statement_keys(state.statement);
}
