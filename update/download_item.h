// One file of the update list, fetched into memory before it is staged.
#pragma once

#include <cstdint>
#include <string>

#include "net/memory_stream.h"
#include "net/url_parts.h"
#include "update/file_attempts.h"

class UpdateDialog;

struct DownloadItem {
    std::string file_name;
    std::int32_t expected_size = 0;
    std::string host_name;
    std::string object_path;
    MemoryStream body;

    // True when the whole file arrived with exactly the expected size; a
    // body cut short is continued or started over (update/file_attempts.h).
    bool fetch(UpdateDialog& dialog, const std::string& url, std::int32_t expected_size);

private:
    AttemptEnd request_body(UpdateDialog& dialog, const UrlParts& url_parts, std::size_t announced);
};
