#include "update/patch_fetch.h"

#include <new>
#include <string_view>

#include "support/files.h"
#include "ui/modeless_dialog.h"
#include "update/download_item.h"
#include "update/platform_crypto.h"
#include "update/vcdiff_decoder.h"

namespace {

// A patch is worth trying only for a file listed with its size and hash.
bool is_usable(const PatchOffer& patch, std::int32_t size, const std::string& hash)
{
    return !patch.url.empty() && patch.size <= largest_patch_size && size >= 0 && !hash.empty();
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
PatchEnd fetch_and_apply(UpdateDialog& dialog, DownloadItem& item, const PatchOffer& patch,
                         std::int32_t size, const std::string& hash, std::string& file)
{
    std::string base;
    if (!read_base(item.file_name, patch, base))
        return PatchEnd::not_used;
    if (!item.fetch_body(dialog, patch.url, patch.size))
        return dialog.cancelled ? PatchEnd::cancelled : PatchEnd::not_used;
    const auto file_size = static_cast<std::size_t>(size);
    if (!apply_vcdiff_patch(base, std::string_view(item.body.data(), item.body.size()), file_size,
                            file) ||
        file.size() != file_size || !has_sha256(file.data(), file.size(), hash))
        return PatchEnd::not_used;
    return PatchEnd::made;
}

}  // namespace

PatchEnd make_from_patch(UpdateDialog& dialog, DownloadItem& item, const PatchOffer& patch,
                         std::int32_t size, const std::string& hash, std::string& file)
{
    PatchEnd end = PatchEnd::not_used;
    if (is_usable(patch, size, hash)) {
        try {
            end = fetch_and_apply(dialog, item, patch, size, hash, file);
        } catch (const std::bad_alloc&) {
            end = PatchEnd::not_used;
        }
    }
    // The patch is no longer needed, and a file not made must leave room for
    // the whole one.
    item.body = MemoryStream();
    if (end != PatchEnd::made)
        file = std::string();
    return end;
}
