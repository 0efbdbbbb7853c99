#include "update/compressed_fetch.h"

#include <new>

#include "update/decode_while_arriving.h"
#include "update/platform_crypto.h"

namespace {

bool is_usable(const OfferedFile& file)
{
    return !file.compressed.url.empty() && file.compressed.size < file.size && file.size >= 0 &&
           !file.hash.empty();
}

PatchEnd fetch_and_decode(ProgressSink& progress, DownloadItem& item, const OfferedFile& file,
                          std::string& made)
{
    const auto file_size = static_cast<std::size_t>(file.size);
    DecodeWhileArriving decoding(progress, item.body, static_cast<std::size_t>(file.compressed.size),
                                 file_size);
    switch (item.fetch_body(decoding, file.compressed.location, file.compressed.size)) {
    case DownloadOutcome::done:
        break;
    case DownloadOutcome::cancelled:
        return PatchEnd::cancelled;
    case DownloadOutcome::failed:
        return PatchEnd::not_used;
    }
    if (!decoding.finish(made) || made.size() != file_size ||
        !has_sha256(made.data(), made.size(), file.hash))
        return PatchEnd::not_used;
    return PatchEnd::made;
}

}  // namespace

PatchEnd make_from_compressed_form(ProgressSink& progress, DownloadItem& item,
                                   const OfferedFile& file, std::string& made)
{
    PatchEnd end = PatchEnd::not_used;
    if (is_usable(file)) {
        try {
            end = fetch_and_decode(progress, item, file, made);
        } catch (const std::bad_alloc&) {
            end = PatchEnd::not_used;
        }
    }
    item.body = MemoryStream();
    if (end != PatchEnd::made)
        made = std::string();
    return end;
}
