// One HTTP GET over WinINet, read in 1024-byte chunks into a memory stream
// while the progress window is pumped after every chunk.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/memory_stream.h"

class ModelessDialog;

class HttpTransfer {
public:
    // Each field holds a handle only while it is open, so nothing is closed twice.
    HINTERNET internet_handle = nullptr;
    HINTERNET connection_handle = nullptr;
    HINTERNET request_handle = nullptr;

    HttpTransfer() = default;
    // Closes nothing: the owner calls close_all when the request is done.
    virtual ~HttpTransfer() = default;

    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // port 0 is the service's default port (80).
    bool open_request(const std::string& host, INTERNET_PORT port, const std::string& object_path,
                      const std::string& verb);

    // Sends the request and reads the whole body. A body that grows past
    // byte_limit or ends short of its announced Content-Length fails the
    // transfer, as does Cancel or a quit message; on failure every handle is
    // closed and byte_count is 0.
    bool send_request(MemoryStream& body, ModelessDialog& progress, std::int32_t& byte_count,
                      std::size_t byte_limit);
    bool read_body(MemoryStream& body, ModelessDialog& progress, std::int32_t& byte_count,
                   std::size_t byte_limit);

    void close_all();

    // The value of the response header name, after a successful send_request
    // and before close_all; false when the response has no such header.
    bool response_header(const std::string& name, std::string& value);
};
