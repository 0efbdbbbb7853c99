// A listed file made from its installed form and the patch the update list
// offers for it, so that only what changed is fetched.
#pragma once

#include <cstdint>
#include <string>

#include "update/patch_offer.h"

class UpdateDialog;
struct DownloadItem;

// The largest patch fetched: it is held whole beside the installed file and
// the file made from them.
const std::int32_t largest_patch_size = 32 * 1024 * 1024;

enum class PatchEnd {
    made,       // the file was made with its listed size and SHA-256
    not_used,   // no patch for the installed form, or one that failed to arrive, decode or verify
    cancelled,  // the user ended the download while the patch came
};

// When patch applies to the installed file named item.file_name (it is at
// most largest_patch_size and the file's SHA-256 is its base hash), fetches
// it through item, the file bar running over the patch, and applies it.
// made: file holds the new form, exactly size bytes with SHA-256 hash; on
// any other end file and item.body hold nothing.
PatchEnd make_from_patch(UpdateDialog& dialog, DownloadItem& item, const PatchOffer& patch,
                         std::int32_t size, const std::string& hash, std::string& file);
