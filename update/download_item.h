// One file of the update list, or the patch that makes it, fetched into
// memory before it is staged.
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
    // The If-Range value for the rest of body, from the answer it began
    // with; empty when that answer gave none.
    std::string validator;

    // Takes file_name from the file's URL and shows it in the dialog; false
    // for a URL or a name the program cannot use.
    bool take_name(UpdateDialog& dialog, const std::string& url);

    // True when the whole body of url arrived with exactly expected_size
    // bytes; what body held is dropped. A body cut short is continued or
    // started over (update/file_attempts.h).
    bool fetch_body(UpdateDialog& dialog, const std::string& url, std::int32_t expected_size);

private:
    AttemptEnd request_body(UpdateDialog& dialog, const UrlParts& url_parts, std::size_t announced);
};
