#include "update/patch_fetch.h"

#include <new>
#include <string_view>

#include "support/files.h"
#include "update/platform_crypto.h"
#include "update/vcdiff_decoder.h"

namespace {

// A patch is worth trying only for a file listed with its size and hash.
bool is_usable(const OfferedFile& file)
{
    return !file.patch.url.empty() && file.patch.size <= largest_patch_size && file.size >= 0 &&
           !file.hash.empty() && file.file_name.has_value();
}

// The installed file's bytes, when they are the form the patch applies to;
// a missing file, or a folder of that name, does not open.
bool read_base(const std::string& name, const PatchOffer& patch, std::string& base)
{
    return read_whole_file(name, base) &&
           has_sha256(base.data(), base.size(), patch.base_hash);
}

// The installed form, the patch and the file made are held together once,
// while the patch is applied.
PatchEnd fetch_and_apply(ProgressSink& progress, DownloadItem& item, const OfferedFile& file,
                         std::string& made)
{
    std::string base;
    if (!read_base(*file.file_name, file.patch, base))
        return PatchEnd::not_used;
    switch (item.fetch_body(progress, file.patch.location, file.patch.size)) {
    case DownloadOutcome::done:
        break;
    case DownloadOutcome::cancelled:
        return PatchEnd::cancelled;
    case DownloadOutcome::failed:
        return PatchEnd::not_used;
    }
    const auto file_size = static_cast<std::size_t>(file.size);
    if (!apply_vcdiff_patch(base, std::string_view(item.body.data(), item.body.size()), file_size,
                            made) ||
        made.size() != file_size || !has_sha256(made.data(), made.size(), file.hash))
        return PatchEnd::not_used;
    return PatchEnd::made;
}

}  // namespace

PatchEnd make_from_patch(ProgressSink& progress, DownloadItem& item, const OfferedFile& file,
                         std::string& made)
{
    PatchEnd end = PatchEnd::not_used;
    if (is_usable(file)) {
        try {
            end = fetch_and_apply(progress, item, file, made);
        } catch (const std::bad_alloc&) {
            end = PatchEnd::not_used;
        }
    }
    // The patch is no longer needed, and a file not made must leave room for
    // the whole one.
    item.body = MemoryStream();
    if (end != PatchEnd::made)
        made = std::string();
    return end;
}
