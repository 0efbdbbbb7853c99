#include "update/file_fetch.h"

#include "support/files.h"
#include "update/compressed_fetch.h"
#include "update/patch_fetch.h"
#include "update/platform_crypto.h"
#include "update/publisher_check.h"
#include "update/staged_name.h"
#include "update/staging_folder.h"

namespace {

// Writes the file's bytes as "_update\<name>", flushed to the disk: once
// the journal names it, a cut-short installation may be finished from it;
// false unless every byte made it.
// A name whose paths would pass the platform's limit is never staged: it could
// be neither installed nor removed. A program or library whose publisher is
// not pinned fails like a file with the wrong hash.
bool stage_file(const std::string& name, const char* data, std::size_t size, const PublisherPins& pins)
{
    if (!fits_path_limit(name))
        return false;
    const std::string path = std::string(staging_folder) + "\\" + name;
    return write_whole_file(path, data, size) &&
           has_pinned_publisher(path, std::string_view(data, size), pins);
}

// True when no hash was listed for the file, or its body has that SHA-256.
bool has_listed_hash(const DownloadItem& item, const std::string& listed)
{
    return listed.empty() || has_sha256(item.body.data(), item.body.size(), listed);
}

DownloadOutcome staged(bool written)
{
    return written ? DownloadOutcome::done : DownloadOutcome::failed;
}

}  // namespace

DownloadOutcome fetch_offered_file(ProgressSink& progress, const OfferedFile& file,
                                   DownloadItem& item, const PublisherPins& pins)
{
    const std::string& name = *file.file_name;
    std::string made;
    PatchEnd end = make_from_patch(progress, item, file, made);
    if (end == PatchEnd::not_used)
        end = make_from_compressed_form(progress, item, file, made);
    if (end == PatchEnd::made)
        return staged(stage_file(name, made.data(), made.size(), pins));
    if (end == PatchEnd::cancelled)
        return DownloadOutcome::cancelled;
    DownloadOutcome fetched = item.fetch_body(progress, file.location, file.size);
    if (fetched != DownloadOutcome::done)
        return fetched;
    return staged(has_listed_hash(item, file.hash) &&
                  stage_file(name, item.body.data(), item.body.size(), pins));
}
