#include "net/http_transfer.h"

#include "ui/modeless_dialog.h"

namespace {

const char user_agent[] = "Tervalisk";
const char http_version[] = "HTTP/1.0";
// The entry is passed as a whole header line; servers see "Accept: Accept: */*".
const char* accept_types[] = {"Accept: */*", nullptr};
const DWORD request_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD chunk_size = 1024;

// The platform may report a connection that was cut short as the end of the
// body, so a body that falls short of its announced length is not complete.
bool is_announced_length(HINTERNET request, std::size_t received)
{
    DWORD announced = 0;
    DWORD size = sizeof(announced);
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced,
                        &size, nullptr))
        return true;
    return announced == received;
}

void close_handle(HINTERNET& handle)
{
    if (handle != nullptr) {
        InternetCloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace

bool HttpTransfer::open_request(const std::string& host, INTERNET_PORT port,
                                const std::string& object_path, const std::string& verb)
{
    internet_handle = InternetOpenA(user_agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet_handle == nullptr)
        return false;
    connection_handle =
        InternetConnectA(internet_handle, host.c_str(), port, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    if (connection_handle == nullptr) {
        close_handle(internet_handle);
        return false;
    }
    request_handle = HttpOpenRequestA(connection_handle, verb.c_str(), object_path.c_str(),
                                      http_version, nullptr, accept_types, request_flags, 0);
    if (request_handle == nullptr) {
        close_handle(internet_handle);
        close_handle(connection_handle);
        return false;
    }
    return true;
}

bool HttpTransfer::send_request(MemoryStream& body, ModelessDialog& progress,
                                std::int32_t& byte_count, std::size_t byte_limit)
{
    byte_count = 0;
    if (!HttpSendRequestA(request_handle, nullptr, 0, nullptr, 0)) {
        close_all();
        return false;
    }
    return read_body(body, progress, byte_count, byte_limit);
}

bool HttpTransfer::read_body(MemoryStream& body, ModelessDialog& progress, std::int32_t& byte_count,
                             std::size_t byte_limit)
{
    char buffer[chunk_size];
    std::size_t received = 0;
    for (;;) {
        DWORD bytes_read = 0;
        if (!InternetReadFile(request_handle, buffer, chunk_size, &bytes_read)) {
            close_all();
            byte_count = 0;
            return false;
        }
        if (bytes_read > 0) {
            body.insert(body.end(), buffer, buffer + bytes_read);
            received += bytes_read;
            byte_count = static_cast<std::int32_t>(received);
        }
        // The pump runs before the limit test so that the window shows what arrived.
        bool stopped = !progress.pump_messages() || progress.cancelled || received > byte_limit;
        bool ended = bytes_read == 0;
        if (stopped || (ended && !is_announced_length(request_handle, received))) {
            close_all();
            byte_count = 0;
            return false;
        }
        if (ended)
            return true;
    }
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
