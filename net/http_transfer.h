// One HTTP GET over WinINet, read into a memory stream as it arrives, at
// most 1024 bytes at a time, while whoever watches it (net/progress_sink.h)
// hears of every read and services its window after it.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/memory_stream.h"
#include "net/progress_sink.h"
#include "net/url_parts.h"

// The longest the update check waits for the head of its answer, from
// connecting on (TLS and the request included): the application waits for
// the check at start-up.
const DWORD check_head_timeout_ms = 10000;
// The same for each request of a file of the update.
const DWORD file_head_timeout_ms = 30000;
// The longest a read of the body waits for its next bytes.
const DWORD body_wait_timeout_ms = 30000;
// Redirects followed for one request; one more, or a URL visited twice,
// fails the transfer.
const int redirect_limit = 5;

class HttpTransfer {
public:
    // Each field holds a handle only while it is open, so nothing is closed twice.
    HINTERNET internet_handle = nullptr;
    HINTERNET connection_handle = nullptr;
    HINTERNET request_handle = nullptr;

    // head_timeout_ms bounds the wait from connecting to the head of the
    // response, each redirect's request again.
    explicit HttpTransfer(DWORD head_timeout_ms) : head_timeout_ms(head_timeout_ms) {}
    // Closes nothing: the owner calls close_all when the request is done.
    virtual ~HttpTransfer() = default;

    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // port 0 is the scheme's default port (80, or 443 when secure). A secure
    // request goes over TLS with the platform's certificate checks.
    bool open_request(const std::string& host, INTERNET_PORT port, const std::string& object_path,
                      const std::string& verb, bool secure);

    // Every request of this transfer, redirects included, carries line
    // ("Name: value\r\n"). Before send_head.
    void add_request_header(const std::string& line);

    // Every request of this transfer, redirects included, asks for the body
    // from first_byte on ("Range: bytes=<first_byte>-") if the resource still
    // has the validator ("If-Range: <validator>"; net/range_validator.h).
    // Before send_head.
    void ask_from(std::size_t first_byte, const std::string& validator);
    // After send_head of such a request: the answer is exactly the rest of a
    // resource of size bytes, a 206 with no content coding whose
    // Content-Range starts at first_byte and ends at the size, under the
    // validator asked for (a server may ignore If-Range).
    bool answers_with_rest(std::size_t first_byte, std::uint64_t size);

    // Sends the request and follows redirects (never from https to http)
    // up to the head of the final response. Fails, with every handle
    // closed, after a wait past head_timeout_ms or redirect_limit redirects.
    bool send_head();

    // How reading a body ended; on every end but complete the handles are
    // closed and byte_count is 0, while the bytes read stay in body.
    enum class BodyEnd {
        complete,
        // The connection broke, a read waited past body_wait_timeout_ms, or
        // the body ended short of its announced Content-Length.
        cut_short,
        // The user cancelled.
        cancelled,
        // A quit message, a body past byte_limit, or one below the rate floor
        // (net/rate_floor.h).
        stopped,
    };
    // Reads the body of the head that send_head received, appending it to
    // body; byte_count is the number of bytes this read appended. After
    // every read progress hears how much body holds of the most it may (what
    // it held before plus byte_limit), is pumped, and is asked whether the
    // user cancelled.
    BodyEnd read_body(MemoryStream& body, ProgressSink& progress, std::int32_t& byte_count,
                      std::size_t byte_limit);

    // send_head, then read_body of an answer with a 2xx status: true when
    // its whole body arrived. Any other answer fails with every handle
    // closed, its body unread: an error page is never what was asked for.
    bool send_request(MemoryStream& body, ProgressSink& progress, std::int32_t& byte_count,
                      std::size_t byte_limit);

    // After send_head: the final response has a 2xx status and no content
    // coding, so its body is the resource's bytes as stored.
    bool response_is_plain_success();
    bool response_status(DWORD& status);

    void close_all();

    // The value of the response header name, after a successful send_head
    // and before close_all; false when the response has no such header.
    bool response_header(const std::string& name, std::string& value);

private:
    bool open_target_request();
    BodyEnd end_early(BodyEnd end, std::int32_t& byte_count);
    bool follow_redirect(const std::string& location, std::vector<std::string>& visited);

    const DWORD head_timeout_ms;
    UrlParts target;
    std::string request_verb;
    // Sent with every request: empty, or the Range and If-Range lines of ask_from.
    std::string request_headers;
    // The If-Range value of ask_from.
    std::string asked_validator;
};
