// The update check: the installed version from "wersja.txt", the server's
// list of files for it, and the user's Yes or No.
#pragma once

#include <cstdint>

#include "app/reply_trust.h"
#include "app/update_list.h"
#include "net/memory_stream.h"

class CheckDialog;

bool check_for_updates(CheckDialog& check_window, UpdateList& list);
std::int32_t fetch_update_list(CheckDialog& check_window, MemoryStream& body,
                               ReplySignature& signature);
