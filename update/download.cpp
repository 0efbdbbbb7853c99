#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <memory>
#include <new>

#include "net/content_range.h"
#include "net/http_transfer.h"
#include "net/range_validator.h"
#include "net/url_parts.h"
#include "support/files.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"
#include "ui/texts.h"
#include "update/download_item.h"
#include "update/file_attempts.h"
#include "update/patch_fetch.h"
#include "update/platform_crypto.h"
#include "update/publisher_check.h"
#include "update/staged_name.h"
#include "update/staging_folder.h"
#include "update/url_file_name.h"

namespace {

// Storage for a body is reserved from its announced size, up to this much;
// a larger file grows the buffer beyond it as it arrives.
const std::size_t largest_reservation = 512u * 1024 * 1024;

// Writes the file's bytes as "_update\<name>", flushed to the disk: once
// the journal names it, a cut-short installation may be finished from it;
// false unless every byte made it.
// A name whose paths would pass the platform's limit is never staged: it could
// be neither installed nor removed. A program or library whose publisher is
// not pinned fails like a file with the wrong hash.
bool stage_file(const std::string& name, const char* data, std::size_t size)
{
    if (!fits_path_limit(name))
        return false;
    const std::string path = std::string(staging_folder) + "\\" + name;
    return write_whole_file(path, data, size) &&
           has_pinned_publisher(path, std::string_view(data, size), publisher_pins);
}

// True when no hash was listed for the file, or its body has that SHA-256.
bool has_listed_hash(const DownloadItem& item, const std::string& listed)
{
    return listed.empty() || has_sha256(item.body.data(), item.body.size(), listed);
}

// Stages one listed file: made from its patch when the patch applies to the
// installed file, otherwise fetched whole. Cancel while the patch comes ends
// the file there.
bool download_file(UpdateDialog& dialog, DownloadItem& item, const std::string& url,
                   std::int32_t size, const std::string& hash, const PatchOffer& patch)
{
    if (!item.take_name(dialog, url))
        return false;
    std::string made;
    PatchEnd end = make_from_patch(dialog, item, patch, size, hash, made);
    if (end == PatchEnd::made)
        return stage_file(item.file_name, made.data(), made.size());
    return end == PatchEnd::not_used && item.fetch_body(dialog, url, size) &&
           has_listed_hash(item, hash) &&
           stage_file(item.file_name, item.body.data(), item.body.size());
}

// The answer to a request for the bytes from first on is exactly the rest
// of a file of size bytes: a 206 whose Content-Range starts there and ends
// at the size.
bool answers_with_rest(HttpTransfer& transfer, std::size_t first, std::int32_t size)
{
    DWORD status = 0;
    std::string value;
    ContentRange range;
    return transfer.response_status(status) && status == 206 &&
           transfer.response_is_plain_success() &&
           transfer.response_header("Content-Range", value) && parse_content_range(value, range) &&
           is_rest_from(range, first, static_cast<std::uint64_t>(size));
}

// The response header's value, empty when there is none.
std::string header_value(HttpTransfer& transfer, const char* name)
{
    std::string value;
    transfer.response_header(name, value);
    return value;
}

AttemptEnd attempt_end(HttpTransfer::BodyEnd end)
{
    switch (end) {
    case HttpTransfer::BodyEnd::complete:
        return AttemptEnd::complete;
    case HttpTransfer::BodyEnd::cut_short:
        return AttemptEnd::cut_short;
    default:
        return AttemptEnd::failed;
    }
}

}  // namespace

bool DownloadItem::take_name(UpdateDialog& dialog, const std::string& url)
{
    UrlParts url_parts;
    if (!split_url(url, url_parts) || !file_name_from_url_path(url_parts.object_path, file_name))
        return false;
    SetWindowTextA(GetDlgItem(dialog.window, IDC_FILE_NAME), file_name.c_str());
    return is_safe_file_name(file_name);
}

bool DownloadItem::fetch_body(UpdateDialog& dialog, const std::string& url, std::int32_t size)
{
    expected_size = size;
    body.clear();

    UrlParts url_parts;
    if (!split_url(url, url_parts))
        return false;
    host_name = url_parts.host;
    object_path = url_parts.object_path;

    std::size_t announced = static_cast<std::size_t>(std::max<std::int32_t>(expected_size, 0));
    try {
        body.reserve(std::min(announced, largest_reservation));
    } catch (const std::bad_alloc&) {
        return false;
    }
    FileAttempts attempts;
    AttemptEnd end = AttemptEnd::failed;
    for (NextRequest next = NextRequest::whole; next != NextRequest::none;) {
        if (next == NextRequest::whole)
            body.clear();
        std::size_t held = body.size();
        end = request_body(dialog, url_parts, announced);
        next = attempts.after(end, body.size() > held, !validator.empty());
    }
    return end == AttemptEnd::complete && static_cast<std::int64_t>(body.size()) == expected_size;
}

// One request for the file's bytes from those already held on; a request
// from the start takes any plain success and its validator, one for the
// rest, sent under that validator, only the rest.
AttemptEnd DownloadItem::request_body(UpdateDialog& dialog, const UrlParts& url_parts,
                                      std::size_t announced)
{
    std::size_t first = body.size();
    HttpTransfer transfer(file_head_timeout_ms);
    if (!transfer.open_request(host_name, url_parts.port, object_path, "GET", url_parts.secure))
        return AttemptEnd::failed;
    if (first > 0)
        transfer.ask_from(first, validator);
    if (!transfer.send_head())
        return AttemptEnd::cut_short;
    bool accepted = first == 0 ? transfer.response_is_plain_success()
                               : answers_with_rest(transfer, first, expected_size);
    if (!accepted) {
        transfer.close_all();
        return first == 0 ? AttemptEnd::failed : AttemptEnd::range_refused;
    }
    if (first == 0)
        validator = range_validator(header_value(transfer, "ETag"),
                                    header_value(transfer, "Last-Modified"));
    // A body can never be longer than announced and still be right, so the
    // transfer stops as soon as it is.
    std::int32_t byte_count = 0;
    AttemptEnd end = attempt_end(transfer.read_body(body, dialog, byte_count, announced - first));
    transfer.close_all();
    return end;
}

bool UpdateDialog::download_updates(const std::vector<std::string>& urls,
                                    const std::vector<std::int32_t>& sizes,
                                    const std::vector<std::string>& hashes,
                                    const std::vector<PatchOffer>& patches)
{
    create(IDD_UPDATE, nullptr);
    remove_folder(staging_folder, true);
    make_folder(staging_folder);
    staged_names.clear();
    HWND overall_bar = GetDlgItem(window, IDC_OVERALL_BAR);
    SendMessageA(GetDlgItem(window, IDC_FILE_BAR), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(overall_bar, PBM_SETRANGE, 0, MAKELPARAM(0, urls.size()));

    for (std::size_t i = 0; i < urls.size(); ++i) {
        auto item = std::make_unique<DownloadItem>();
        current_item = item.get();
        if (!download_file(*this, *item, urls[i], sizes[i], hashes[i], patches[i])) {
            show_message(window, text_download_failed, MB_OK);
            remove_folder(staging_folder, true);
            staged_names.clear();
            current_item = nullptr;
            close();
            return false;
        }
        staged_names.push_back(item->file_name);
        current_item = nullptr;
        item.reset();
        SendMessageA(overall_bar, PBM_SETPOS, i + 1, 0);
    }
    close();
    return true;
}
