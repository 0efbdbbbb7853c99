// The keys the check trusts a reply with, and, in a program built with a
// root key set, the key statements it fetches and keeps for them.
#pragma once

#include <string>

#include "app/reply_trust.h"

class CheckDialog;

// At most this many statements are fetched in one run; the rest follow in
// the next runs.
const unsigned most_statements_per_run = 3;

// Without keys: nothing is checked. With the two keys: them, and the pins
// compiled in. With a root key set: the keys of the newest statement held
// (the one built in, then those kept in key_statement_file), after
// fetching, one by one, those the reply's claim (claim_header) names beyond
// it; each one accepted is kept. A kept file that is missing or damaged
// leaves the statement built in.
ReplyKeys reply_keys(CheckDialog& check_window, const std::string& claim_header);
