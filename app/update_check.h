// The update check: the installed version from "wersja.txt", the server's
// list of files for it, and the user's Yes or No.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/memory_stream.h"

class CheckDialog;

// The offered files; entry i of both sequences describes one file.
struct UpdateList {
    std::vector<std::string> urls;
    std::vector<std::int32_t> sizes;
};

extern UpdateList update_list;

bool check_for_updates(CheckDialog& check_window, UpdateList& list);
std::int32_t fetch_update_list(CheckDialog& check_window, MemoryStream& body);
bool parse_update_list(const MemoryStream& body, std::int32_t byte_count,
                       std::vector<std::string>& urls, std::vector<std::int32_t>& sizes);
