// One body the download fetches, an offered file or the patch that makes
// it, held in memory until it is checked and staged.
#pragma once

#include <cstdint>
#include <string>

#include "net/memory_stream.h"
#include "net/progress_sink.h"
#include "net/url_parts.h"
#include "update/download_result.h"
#include "update/file_attempts.h"

struct DownloadItem {
    std::int32_t expected_size = 0;
    MemoryStream body;
    // The If-Range value for the rest of body, from the answer it began
    // with; empty when that answer gave none.
    std::string validator;

    // Drops what body held and fetches the body at location: done when all
    // of it arrived with exactly expected_size bytes, cancelled when the
    // user ended it. A body cut short is continued or started over
    // (update/file_attempts.h).
    DownloadOutcome fetch_body(ProgressSink& progress, const UrlParts& location,
                               std::int32_t expected_size);

private:
    AttemptEnd request_body(ProgressSink& progress, const UrlParts& location,
                            std::size_t announced);
};
