// A listed file made from its installed form and the patch the update list
// offers for it, so that only what changed is fetched.
#pragma once

#include <cstdint>
#include <string>

#include "net/progress_sink.h"
#include "update/download_item.h"
#include "update/offered_file.h"

// The largest patch fetched: it is held whole beside the installed file and
// the file made from them. The server keeps none larger (server/src/patches.php).
const std::int32_t largest_patch_size = 32 * 1024 * 1024;

enum class PatchEnd {
    made,       // the file was made with its listed size and SHA-256
    not_used,   // no patch for the installed form, or one that failed to arrive, decode or verify
    cancelled,  // the user ended the download while the patch came
};

// When the file's patch applies to the installed file of its name (the
// patch is at most largest_patch_size and the installed file's SHA-256 is
// its base hash), fetches it through item, and applies it.
// made: made holds the new form, exactly the listed size with the listed
// SHA-256; on any other end made and item.body hold nothing.
PatchEnd make_from_patch(ProgressSink& progress, DownloadItem& item, const OfferedFile& file,
                         std::string& made);
