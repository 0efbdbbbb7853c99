#include "net/http_transfer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <future>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "net/content_range.h"
#include "net/range_validator.h"
#include "net/rate_floor.h"

namespace {

const char user_agent[] = "Tervalisk";
const char http_version[] = "HTTP/1.0";
// Media types only: the platform writes the "Accept:" itself.
const char* accept_types[] = {"*/*", nullptr};
// Redirects are followed here, not by the platform, so that their number and
// their schemes can be checked.
const DWORD request_flags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
const DWORD chunk_size = 1024;
const DWORD longest_url = 4096;

void close_handle(HINTERNET& handle)
{
    if (handle != nullptr) {
        InternetCloseHandle(handle);
        handle = nullptr;
    }
}

bool set_timeout(HINTERNET request, DWORD option, DWORD timeout)
{
    return InternetSetOptionA(request, option, &timeout, sizeof(timeout)) != FALSE;
}

// The platform's default wait is far longer than anyone waits for an update.
bool set_timeouts(HINTERNET request, DWORD head_timeout_ms)
{
    return set_timeout(request, INTERNET_OPTION_CONNECT_TIMEOUT, head_timeout_ms) &&
           set_timeout(request, INTERNET_OPTION_SEND_TIMEOUT, head_timeout_ms) &&
           set_timeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, body_wait_timeout_ms);
}

// Sends the request on a worker thread and waits for it at most
// head_timeout_ms. Wine ignores the connect time-out (a server that
// never completes the handshake held the request for 130 s), so the wait
// for the connection, the request and the response's head is bounded here.
// A worker still waiting is left to end when the platform gives up; the
// caller closes the request under it, which WinINet allows.
bool send_within_bound(HINTERNET request, const std::string& headers, DWORD head_timeout_ms)
{
    auto sent = std::make_shared<std::promise<bool>>();
    std::future<bool> result = sent->get_future();
    try {
        std::thread([request, headers, sent] {
            sent->set_value(HttpSendRequestA(request, headers.empty() ? nullptr : headers.c_str(),
                                             static_cast<DWORD>(headers.size()), nullptr,
                                             0) != FALSE);
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return result.wait_for(std::chrono::milliseconds(head_timeout_ms)) ==
               std::future_status::ready &&
           result.get();
}

// Reads what has arrived, at most a chunk, and waits only while nothing has:
// a read of a whole chunk would wait for all of it, with the window not
// serviced, however slowly the bytes came.
bool read_available(HINTERNET request, char* buffer, DWORD& bytes_read)
{
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0))
        return false;
    DWORD wanted = std::clamp<DWORD>(available, 1, chunk_size);
    return InternetReadFile(request, buffer, wanted, &bytes_read) != FALSE;
}

bool query_number(HINTERNET request, DWORD info, DWORD& number)
{
    DWORD size = sizeof(number);
    return HttpQueryInfoA(request, info | HTTP_QUERY_FLAG_NUMBER, &number, &size, nullptr) != FALSE;
}

// The index-th header of the kind info, if the response has one.
bool query_text(HINTERNET request, DWORD info, DWORD index, std::string& text)
{
    std::vector<char> buffer(256);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD at = index;
        if (HttpQueryInfoA(request, info, buffer.data(), &size, &at)) {
            text.assign(buffer.data(), size);
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < buffer.size())
            return false;
        buffer.resize(size + 1);
    }
}

// The platform may report a connection that was cut short as the end of the
// body, so a body that falls short of its announced length is not complete.
bool is_announced_length(HINTERNET request, std::size_t received)
{
    DWORD announced = 0;
    if (!query_number(request, HTTP_QUERY_CONTENT_LENGTH, announced))
        return true;
    return announced == received;
}

bool is_success(DWORD status)
{
    return status >= 200 && status <= 299;
}

bool is_redirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool is_identity(std::string coding)
{
    coding.erase(0, coding.find_first_not_of(" \t"));
    coding.erase(coding.find_last_not_of(" \t") + 1);
    std::transform(coding.begin(), coding.end(), coding.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return coding == "identity";
}

}  // namespace

bool HttpTransfer::open_request(const std::string& host, INTERNET_PORT port,
                                const std::string& object_path, const std::string& verb,
                                bool secure)
{
    target.host = host;
    target.port =
        port == INTERNET_INVALID_PORT_NUMBER && secure ? INTERNET_DEFAULT_HTTPS_PORT : port;
    target.object_path = object_path;
    target.secure = secure;
    request_verb = verb;
    internet_handle = InternetOpenA(user_agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet_handle == nullptr)
        return false;
    if (!open_target_request()) {
        close_handle(internet_handle);
        return false;
    }
    return true;
}

// Opens the connection and the request for target below the root handle;
// on failure neither stays open.
bool HttpTransfer::open_target_request()
{
    connection_handle = InternetConnectA(internet_handle, target.host.c_str(), target.port, "", "",
                                         INTERNET_SERVICE_HTTP, 0, 0);
    if (connection_handle == nullptr)
        return false;
    DWORD flags = request_flags | (target.secure ? INTERNET_FLAG_SECURE : 0);
    request_handle =
        HttpOpenRequestA(connection_handle, request_verb.c_str(), target.object_path.c_str(),
                         http_version, nullptr, accept_types, flags, 0);
    if (request_handle == nullptr || !set_timeouts(request_handle, head_timeout_ms)) {
        close_handle(request_handle);
        close_handle(connection_handle);
        return false;
    }
    return true;
}

void HttpTransfer::add_request_header(const std::string& line)
{
    request_headers += line;
}

void HttpTransfer::ask_from(std::size_t first_byte, const std::string& validator)
{
    add_request_header("Range: bytes=" + std::to_string(first_byte) + "-\r\n");
    add_request_header("If-Range: " + validator + "\r\n");
    asked_validator = validator;
}

bool HttpTransfer::answers_with_rest(std::size_t first_byte, std::uint64_t size)
{
    DWORD status = 0;
    std::string value;
    ContentRange range;
    std::string etag;
    std::string last_modified;
    response_header("ETag", etag);
    response_header("Last-Modified", last_modified);
    return response_status(status) && status == 206 && response_is_plain_success() &&
           response_header("Content-Range", value) && parse_content_range(value, range) &&
           is_rest_from(range, first_byte, size) &&
           is_answer_under(asked_validator, etag, last_modified);
}

bool HttpTransfer::send_head()
{
    std::vector<std::string> visited;
    for (;;) {
        if (!send_within_bound(request_handle, request_headers, head_timeout_ms)) {
            close_all();
            return false;
        }
        DWORD status = 0;
        std::string location;
        if (!query_number(request_handle, HTTP_QUERY_STATUS_CODE, status) || !is_redirect(status) ||
            !query_text(request_handle, HTTP_QUERY_LOCATION, 0, location))
            return true;
        if (!follow_redirect(location, visited)) {
            close_all();
            return false;
        }
    }
}

bool HttpTransfer::send_request(MemoryStream& body, ProgressSink& progress,
                                std::int32_t& byte_count, std::size_t byte_limit)
{
    byte_count = 0;
    if (!send_head())
        return false;
    DWORD status = 0;
    if (!response_status(status) || !is_success(status)) {
        close_all();
        return false;
    }
    return read_body(body, progress, byte_count, byte_limit) == BodyEnd::complete;
}

// Closes the connection and request of a redirect and opens them for the
// address it names. False, leaving the rest to close_all, for one redirect
// too many, an address already visited, a step from https to http, or a
// location that is no http or https URL.
bool HttpTransfer::follow_redirect(const std::string& location, std::vector<std::string>& visited)
{
    std::string current = url_text(target);
    if (visited.empty())
        visited.push_back(current);
    if (visited.size() > static_cast<std::size_t>(redirect_limit))
        return false;
    char combined[longest_url];
    DWORD length = longest_url;
    UrlParts next;
    if (!InternetCombineUrlA(current.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE) ||
        !split_url(std::string(combined, length), next) || (target.secure && !next.secure))
        return false;
    std::string next_url = url_text(next);
    if (std::find(visited.begin(), visited.end(), next_url) != visited.end())
        return false;
    visited.push_back(next_url);
    close_handle(request_handle);
    close_handle(connection_handle);
    target = next;
    return open_target_request();
}

HttpTransfer::BodyEnd HttpTransfer::read_body(MemoryStream& body, ProgressSink& progress,
                                              std::int32_t& byte_count, std::size_t byte_limit)
{
    char buffer[chunk_size];
    const std::size_t most = body.size() + byte_limit;
    std::size_t received = 0;
    RateFloor pace(GetTickCount64());
    for (;;) {
        DWORD bytes_read = 0;
        if (!read_available(request_handle, buffer, bytes_read))
            return end_early(BodyEnd::cut_short, byte_count);
        if (bytes_read > 0) {
            body.insert(body.end(), buffer, buffer + bytes_read);
            received += bytes_read;
            byte_count = static_cast<std::int32_t>(received);
        }
        // The pump runs before the limit test so that the window shows what arrived.
        progress.bytes_arrived(body.size(), most);
        bool pumped = progress.pump_messages();
        if (progress.is_cancelled())
            return end_early(BodyEnd::cancelled, byte_count);
        bool ended = bytes_read == 0;
        if (!pumped || received > byte_limit ||
            (!ended && !pace.keeps_up(GetTickCount64(), received)))
            return end_early(BodyEnd::stopped, byte_count);
        if (ended && !is_announced_length(request_handle, received))
            return end_early(BodyEnd::cut_short, byte_count);
        if (ended)
            return BodyEnd::complete;
    }
}

HttpTransfer::BodyEnd HttpTransfer::end_early(BodyEnd end, std::int32_t& byte_count)
{
    close_all();
    byte_count = 0;
    return end;
}

bool HttpTransfer::response_is_plain_success()
{
    DWORD status = 0;
    if (!response_status(status) || !is_success(status))
        return false;
    // Every Content-Encoding header counts: the platform decodes none unless asked.
    std::string coding;
    for (DWORD index = 0; query_text(request_handle, HTTP_QUERY_CONTENT_ENCODING, index, coding);
         ++index)
        if (!is_identity(coding))
            return false;
    return true;
}

bool HttpTransfer::response_status(DWORD& status)
{
    return query_number(request_handle, HTTP_QUERY_STATUS_CODE, status);
}

void HttpTransfer::close_all()
{
    close_handle(request_handle);
    close_handle(internet_handle);
    close_handle(connection_handle);
}

bool HttpTransfer::response_header(const std::string& name, std::string& value)
{
    DWORD size = 256;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The buffer holds the name going in and the value coming out; a
        // longer value is asked for again with the size the first call gave.
        std::string buffer = name;
        buffer.resize(name.size() < size ? size : name.size() + 1);
        size = static_cast<DWORD>(buffer.size());
        if (HttpQueryInfoA(request_handle, HTTP_QUERY_CUSTOM, &buffer[0], &size, nullptr)) {
            value.assign(buffer.data(), size);
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        size += 1;
    }
    return false;
}
