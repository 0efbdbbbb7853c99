// The update check: the installed version from "wersja.txt", the server's
// list of files for it, and the user's Yes or No.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/memory_stream.h"

class CheckDialog;

// The offered files; entry i of each sequence describes one file.
struct UpdateList {
    std::vector<std::string> urls;
    std::vector<std::int32_t> sizes;
    // The file's SHA-256 as 64 lowercase hex digits, or empty when the line
    // named none.
    std::vector<std::string> hashes;
};

extern UpdateList update_list;

// The version the check asked about and the signature header of the reply.
struct ReplySignature {
    std::int32_t version = 0;
    std::string header;
};

bool check_for_updates(CheckDialog& check_window, UpdateList& list);
std::int32_t fetch_update_list(CheckDialog& check_window, MemoryStream& body,
                               ReplySignature& signature);
// hashes_required: a line without a well-formed hash makes the whole reply
// no update list (false, nothing appended).
bool parse_update_list(const MemoryStream& body, std::int32_t byte_count, UpdateList& list,
                       bool hashes_required);
