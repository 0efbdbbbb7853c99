#include "update/download_item.h"

#include <algorithm>
#include <new>

#include "net/http_transfer.h"
#include "net/range_validator.h"

namespace {

// Storage for a body is reserved from its announced size, up to this much;
// a larger file grows the buffer beyond it as it arrives.
const std::size_t largest_reservation = 512u * 1024 * 1024;

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
    case HttpTransfer::BodyEnd::cancelled:
        return AttemptEnd::cancelled;
    default:
        return AttemptEnd::failed;
    }
}

DownloadOutcome outcome_of(AttemptEnd end)
{
    if (end == AttemptEnd::complete)
        return DownloadOutcome::done;
    return end == AttemptEnd::cancelled ? DownloadOutcome::cancelled : DownloadOutcome::failed;
}

}  // namespace

DownloadOutcome DownloadItem::fetch_body(ProgressSink& progress, const UrlParts& location,
                                         std::int32_t size)
{
    expected_size = size;
    body.clear();

    std::size_t announced = static_cast<std::size_t>(std::max<std::int32_t>(expected_size, 0));
    try {
        body.reserve(std::min(announced, largest_reservation));
    } catch (const std::bad_alloc&) {
        return DownloadOutcome::failed;
    }
    FileAttempts attempts;
    AttemptEnd end = AttemptEnd::failed;
    for (NextRequest next = NextRequest::whole; next != NextRequest::none;) {
        if (next == NextRequest::whole)
            body.clear();
        std::size_t held = body.size();
        end = request_body(progress, location, announced);
        next = attempts.after(end, body.size() > held, !validator.empty());
    }
    if (end == AttemptEnd::complete && static_cast<std::int64_t>(body.size()) != expected_size)
        return DownloadOutcome::failed;
    return outcome_of(end);
}

// One request for the file's bytes from those already held on; a request
// from the start takes any plain success and its validator, one for the
// rest, sent under that validator, only the rest.
AttemptEnd DownloadItem::request_body(ProgressSink& progress, const UrlParts& location,
                                      std::size_t announced)
{
    std::size_t first = body.size();
    HttpTransfer transfer(file_head_timeout_ms);
    if (!transfer.open_request(location.host, location.port, location.object_path, "GET",
                               location.secure))
        return AttemptEnd::failed;
    if (first > 0)
        transfer.ask_from(first, validator);
    if (!transfer.send_head())
        return AttemptEnd::cut_short;
    bool accepted = first == 0 ? transfer.response_is_plain_success()
                               : transfer.answers_with_rest(first, announced);
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
    AttemptEnd end = attempt_end(transfer.read_body(body, progress, byte_count, announced - first));
    transfer.close_all();
    return end;
}
