// A listed file made from the compressed form (.xz) the update list offers
// for it, so that fewer bytes cross the line when no patch applies.
#pragma once

#include <string>

#include "net/progress_sink.h"
#include "update/download_item.h"
#include "update/offered_file.h"
#include "update/patch_fetch.h"

// When the file is listed with its size, its hash and a compressed form
// smaller than it, fetches that form through item (continued after a cut as
// any body) and decodes it (update/xz_decoder.h). made: made holds the file,
// exactly the listed size with the listed SHA-256; on any other end made and
// item.body hold nothing, and not_used means that the form failed to arrive,
// decode or verify.
PatchEnd make_from_compressed_form(ProgressSink& progress, DownloadItem& item,
                                   const OfferedFile& file, std::string& made);
