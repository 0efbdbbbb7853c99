// HttpTransfer against a one-shot HTTP server on 127.0.0.1 run by the test.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/http_transfer.h"
#include "net/progress_sink.h"

namespace {

// A socket bound to a free port on 127.0.0.1; the caller owns the Winsock
// start-up that this does and calls WSACleanup.
SOCKET bound_loopback_socket(INTERNET_PORT& port)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET bound = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return bound;
}

// Bounded waits: a test that never connects or never hangs up must not hang.
bool readable(SOCKET socket, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

// One answer of the server: bytes sent at once, then a silence (ended early
// when the client goes away), then bytes sent after it. "$PORT" in the reply
// stands for the server's port.
struct Answer {
    Answer(std::string reply, int silence_ms = 0, std::string after_silence = "")
        : reply(std::move(reply)), silence_ms(silence_ms), after_silence(std::move(after_silence))
    {
    }

    std::string reply;
    int silence_ms;
    std::string after_silence;
};

// Answers successive connections with successive answers, then closes.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Answer> answers) : answers_(std::move(answers))
    {
        listener_ = bound_loopback_socket(port_);
        listen(listener_, 1);
        thread_ = std::thread([this] {
            for (const Answer& answer : answers_)
                if (!serve(answer))
                    break;
        });
    }

    ~ScriptedServer()
    {
        stop();
        WSACleanup();
    }

    INTERNET_PORT port() const { return port_; }

    // Stops serving; the requests received, in order.
    const std::vector<std::string>& stop()
    {
        if (thread_.joinable()) {
            closesocket(listener_);
            thread_.join();
        }
        return requests_;
    }

private:
    bool serve(const Answer& answer)
    {
        if (!readable(listener_, 10000))
            return false;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return false;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            int n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            request.append(buffer, n);
        }
        requests_.push_back(request);
        std::string reply = answer.reply;
        std::size_t at = reply.find("$PORT");
        if (at != std::string::npos)
            reply.replace(at, 5, std::to_string(port_));
        send(client, reply.data(), static_cast<int>(reply.size()), 0);
        // Readable during the silence means the client has gone.
        if (answer.silence_ms == 0 || !readable(client, answer.silence_ms))
            send(client, answer.after_silence.data(), static_cast<int>(answer.after_silence.size()),
                 0);
        shutdown(client, SD_SEND);
        closesocket(client);
        return true;
    }

    std::vector<Answer> answers_;
    std::vector<std::string> requests_;
    SOCKET listener_ = INVALID_SOCKET;
    INTERNET_PORT port_ = 0;
    std::thread thread_;
};

// Counts the pumps and can cancel or quit at a given pump; keeps what the
// last read reported.
class FakeProgress : public ProgressSink {
public:
    int pumps = 0;
    int cancel_at = -1;
    int quit_at = -1;
    bool cancelled = false;
    std::size_t held = 0;
    std::size_t most = 0;

    void bytes_arrived(std::size_t held_now, std::size_t most_now) override
    {
        held = held_now;
        most = most_now;
    }

    bool pump_messages() override
    {
        ++pumps;
        if (pumps == cancel_at)
            cancelled = true;
        return pumps != quit_at;
    }

    bool is_cancelled() const override { return cancelled; }
};

std::string reply_with_body(const std::string& status, const std::string& body)
{
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: application/octet-stream\r\n\r\n" + body;
}

struct Outcome {
    bool result;
    std::int32_t byte_count;
    MemoryStream body;
    int pumps;
    bool handles_closed;
    bool plain_success;
    std::vector<std::string> requests;
};

Outcome transfer(std::vector<Answer> answers, FakeProgress& progress, std::size_t limit = 1 << 20)
{
    ScriptedServer server(std::move(answers));
    HttpTransfer http(file_head_timeout_ms);
    Outcome outcome = {};
    outcome.byte_count = -1;
    EXPECT_TRUE(http.open_request("127.0.0.1", server.port(), "/files/a.bin", "GET", false));
    outcome.result = http.send_request(outcome.body, progress, outcome.byte_count, limit);
    outcome.pumps = progress.pumps;
    outcome.handles_closed = http.internet_handle == nullptr && http.connection_handle == nullptr &&
                             http.request_handle == nullptr;
    outcome.plain_success = outcome.result && http.response_is_plain_success();
    http.close_all();
    http.close_all();
    EXPECT_EQ(http.request_handle, nullptr);
    outcome.requests = server.stop();
    return outcome;
}

Outcome transfer(const std::string& reply, FakeProgress& progress, std::size_t limit = 1 << 20)
{
    return transfer(std::vector<Answer>{reply}, progress, limit);
}

TEST(HttpTransfer, ReadsTheWholeBodyPumpingAfterEveryChunkAndTheFinalEmptyRead)
{
    FakeProgress progress;
    Outcome o = transfer(reply_with_body("200 OK", std::string(2048, 'x')), progress);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.byte_count, 2048);
    EXPECT_EQ(o.body.size(), 2048u);
    // Chunks of at most 1024 bytes and one empty read: at least three pumps.
    EXPECT_GE(o.pumps, 3);
    EXPECT_EQ(progress.held, 2048u);
    EXPECT_EQ(progress.most, std::size_t(1) << 20);
    EXPECT_FALSE(o.handles_closed);
    EXPECT_EQ(o.requests.at(0).rfind("GET /files/a.bin HTTP/1.0\r\n", 0), 0u) << o.requests.at(0);
    EXPECT_NE(o.requests.at(0).find("User-Agent: Tervalisk\r\n"), std::string::npos)
        << o.requests.at(0);
    EXPECT_NE(o.requests.at(0).find("\r\nAccept: */*\r\n"), std::string::npos) << o.requests.at(0);
}

// A proxy's or server's error page is never the body asked for, whatever
// it holds; an empty body with a success status is.
TEST(HttpTransfer, AnEmptyBodyIsDeliveredAndAnErrorStatusIsNot)
{
    FakeProgress empty;
    Outcome o = transfer(reply_with_body("200 OK", ""), empty);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_EQ(o.pumps, 1);

    const std::string list_like = "http://127.0.0.1/files/a.bin,3\r\n<p>Sign in, please</p>";
    for (const char* status :
         {"404 Not Found", "407 Proxy Authentication Required", "500 Internal Server Error"}) {
        FakeProgress refused;
        o = transfer(reply_with_body(status, list_like), refused);
        EXPECT_FALSE(o.result) << status;
        EXPECT_EQ(o.byte_count, 0) << status;
        EXPECT_TRUE(o.body.empty()) << status;
        EXPECT_TRUE(o.handles_closed) << status;
    }
}

TEST(HttpTransfer, CancelQuitOrOverlongBodyFailWithEveryHandleClosed)
{
    FakeProgress cancel_at_last_read;
    cancel_at_last_read.cancel_at = 2;  // the zero-byte read after a 10-byte body
    Outcome o = transfer(reply_with_body("200 OK", "0123456789"), cancel_at_last_read);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_EQ(o.body.size(), 10u);
    EXPECT_TRUE(o.handles_closed);

    FakeProgress quit;
    quit.quit_at = 1;
    o = transfer(reply_with_body("200 OK", std::string(3000, 'q')), quit);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_EQ(o.pumps, 1);
    EXPECT_TRUE(o.handles_closed);

    FakeProgress limited;
    o = transfer(reply_with_body("200 OK", std::string(5000, 'l')), limited, 2000);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_LE(o.body.size(), 3024u);
    EXPECT_TRUE(o.handles_closed);
}

// Ten bytes, then a silence: the window is serviced with the ten bytes in,
// before the rest comes.
TEST(HttpTransfer, AReadReturnsWhatHasArrivedWithoutWaitingForAWholeChunk)
{
    const std::string whole = reply_with_body("200 OK", std::string(2010, 'a'));
    const std::size_t first = whole.size() - 2000;
    FakeProgress progress;
    progress.cancel_at = 1;
    Outcome o = transfer({{whole.substr(0, first), 3000, whole.substr(first)}}, progress);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.pumps, 1);
    EXPECT_EQ(o.body.size(), 10u);
    EXPECT_TRUE(o.handles_closed);
}

TEST(HttpTransfer, BodyCutShortOfItsAnnouncedLengthFails)
{
    FakeProgress progress;
    Outcome o =
        transfer("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 's'), progress);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_TRUE(o.handles_closed);

    FakeProgress unannounced;
    o = transfer("HTTP/1.0 200 OK\r\n\r\n" + std::string(50, 'u'), unannounced);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.byte_count, 50);
}

std::string redirect(const std::string& status, const std::string& location)
{
    return "HTTP/1.0 " + status + "\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

HttpTransfer::BodyEnd body_end(const std::string& reply, FakeProgress& progress,
                               std::size_t limit = 1 << 20)
{
    ScriptedServer server({Answer(reply)});
    HttpTransfer http(file_head_timeout_ms);
    EXPECT_TRUE(http.open_request("127.0.0.1", server.port(), "/f", "GET", false));
    EXPECT_TRUE(http.send_head());
    MemoryStream body;
    std::int32_t byte_count = -1;
    HttpTransfer::BodyEnd end = http.read_body(body, progress, byte_count, limit);
    EXPECT_EQ(byte_count, end == HttpTransfer::BodyEnd::complete ? 100 : 0);
    http.close_all();
    server.stop();
    return end;
}

// A body that the network ends early may be continued; one that the user,
// the limit or the rate floor ends may not.
TEST(HttpTransfer, HowABodyEndedIsTold)
{
    using End = HttpTransfer::BodyEnd;
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n";
    FakeProgress whole;
    EXPECT_EQ(body_end(head + std::string(100, 'w'), whole), End::complete);
    FakeProgress closed_early;
    EXPECT_EQ(body_end(head + std::string(50, 'c'), closed_early), End::cut_short);
    FakeProgress cancelled;
    cancelled.cancel_at = 1;
    EXPECT_EQ(body_end(head + std::string(100, 'x'), cancelled), End::cancelled);
    FakeProgress quit;
    quit.quit_at = 1;
    EXPECT_EQ(body_end(head + std::string(100, 'q'), quit), End::stopped);
    FakeProgress limited;
    EXPECT_EQ(body_end(head + std::string(100, 'l'), limited, 60), End::stopped);
}

TEST(HttpTransfer, ARequestForTheRestAsksForItUnderItsValidatorOnEveryRedirectToo)
{
    ScriptedServer server({{redirect("302 Found", "/elsewhere")},
                           {"HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 500-503/504\r\n"
                            "Content-Length: 4\r\n\r\nrest"}});
    HttpTransfer http(file_head_timeout_ms);
    ASSERT_TRUE(http.open_request("127.0.0.1", server.port(), "/f", "GET", false));
    http.ask_from(500, "\"aaaa\"");
    ASSERT_TRUE(http.send_head());
    DWORD status = 0;
    EXPECT_TRUE(http.response_status(status));
    EXPECT_EQ(status, 206u);
    std::string range;
    EXPECT_TRUE(http.response_header("Content-Range", range));
    EXPECT_EQ(range, "bytes 500-503/504");
    http.close_all();
    const std::vector<std::string>& requests = server.stop();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& request : requests)
        EXPECT_NE(request.find("\r\nRange: bytes=500-\r\nIf-Range: \"aaaa\"\r\n"),
                  std::string::npos)
            << request;
}

// What the server answered a request for the bytes from 500 on of a
// 504-byte resource under validator: exactly that rest, or not.
bool answers_with_rest(const std::string& head, const std::string& validator = "\"aaaa\"")
{
    ScriptedServer server({Answer(head + "\r\nContent-Length: 4\r\n\r\nrest")});
    HttpTransfer http(file_head_timeout_ms);
    EXPECT_TRUE(http.open_request("127.0.0.1", server.port(), "/f", "GET", false));
    http.ask_from(500, validator);
    EXPECT_TRUE(http.send_head());
    bool rest = http.answers_with_rest(500, 504);
    http.close_all();
    server.stop();
    return rest;
}

TEST(HttpTransfer, OnlyAPartialAnswerOfExactlyTheRestIsTheRest)
{
    EXPECT_TRUE(answers_with_rest("HTTP/1.0 206 Partial\r\nETag: \"aaaa\"\r\n"
                                  "Content-Range: bytes 500-503/504"));
    EXPECT_TRUE(answers_with_rest("HTTP/1.0 206 Partial\r\nETag: \"aaaa\"\r\n"
                                  "Content-Range: bytes 500-503/*"));
    for (const char* head : {"HTTP/1.0 200 OK\r\nContent-Range: bytes 500-503/504",
                             "HTTP/1.0 206 Partial",
                             "HTTP/1.0 206 Partial\r\nContent-Range: bytes 499-503/504",
                             "HTTP/1.0 206 Partial\r\nContent-Range: bytes 500-502/504",
                             "HTTP/1.0 206 Partial\r\nContent-Range: bytes 500-503/505",
                             "HTTP/1.0 206 Partial\r\nContent-Range: bytes 500-503/504\r\n"
                             "Content-Encoding: gzip"})
        EXPECT_FALSE(answers_with_rest(std::string(head) + "\r\nETag: \"aaaa\"")) << head;
}

// A server that ignores If-Range answers with the rest of whatever it holds now.
TEST(HttpTransfer, ThePartialAnswerMustBeOfTheVersionAskedFor)
{
    const std::string rest = "HTTP/1.0 206 Partial\r\nContent-Range: bytes 500-503/504\r\n";
    const char date[] = "Tue, 01 Apr 2025 10:00:00 GMT";
    EXPECT_TRUE(answers_with_rest(rest + "Last-Modified: " + date, date));
    for (const char* other : {"ETag: \"bbbb\"", "ETag: W/\"aaaa\"", "Last-Modified: \"aaaa\""})
        EXPECT_FALSE(answers_with_rest(rest + other)) << other;
    EXPECT_FALSE(answers_with_rest(rest + "ETag: \"" + date + "\"", date));
}

std::string request_target(const std::string& request)
{
    std::size_t start = request.find(' ') + 1;
    return request.substr(start, request.find(' ', start) - start);
}

TEST(HttpTransfer, RedirectsAreFollowedUpToTheLimitAndNeverInALoop)
{
    // Relative and absolute locations, every redirect status.
    std::vector<Answer> chain = {{redirect("301 Moved", "/r1")},
                                 {redirect("302 Found", "http://127.0.0.1:$PORT/r2")},
                                 {redirect("303 See Other", "sub/r3")},
                                 {redirect("307 Temporary", "/r4?x=1")},
                                 {redirect("308 Permanent", "http://localhost:$PORT/r5")},
                                 {reply_with_body("200 OK", "arrived")}};
    FakeProgress five;
    Outcome o = transfer(chain, five);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(std::string(o.body.begin(), o.body.end()), "arrived");
    EXPECT_TRUE(o.plain_success);
    std::vector<std::string> targets;
    for (const std::string& request : o.requests)
        targets.push_back(request_target(request));
    EXPECT_EQ(targets, (std::vector<std::string>{"/files/a.bin", "/r1", "/r2", "/sub/r3", "/r4?x=1",
                                                 "/r5"}));
    EXPECT_NE(o.requests.back().find("User-Agent: Tervalisk\r\n"), std::string::npos);

    chain.insert(chain.end() - 1, {redirect("302 Found", "/r6")});
    FakeProgress six;
    o = transfer(chain, six);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_TRUE(o.handles_closed);
    EXPECT_EQ(o.requests.size(), 6u);

    // Back to the first address, spelt with its port.
    FakeProgress loop;
    o = transfer({{redirect("302 Found", "/b")},
                  {redirect("302 Found", "http://127.0.0.1:$PORT/files/a.bin")},
                  {reply_with_body("200 OK", "never")}},
                 loop);
    EXPECT_FALSE(o.result);
    EXPECT_TRUE(o.handles_closed);
    EXPECT_EQ(o.requests.size(), 2u);

    for (const char* location : {"ftp://127.0.0.1:$PORT/x", "file:///c:/x", "http://"}) {
        FakeProgress other;
        o = transfer(std::vector<Answer>{redirect("302 Found", location)}, other);
        EXPECT_FALSE(o.result) << location;
        EXPECT_TRUE(o.handles_closed) << location;
    }
}

TEST(HttpTransfer, OnlyATwoHundredStatusWithoutContentCodingIsAPlainSuccess)
{
    struct Case {
        std::string head;
        bool plain;
    };
    const Case cases[] = {
        {"200 OK", true},
        {"206 Partial Content", true},
        {"299 Whatever", true},
        {"300 Multiple Choices", false},
        {"302 Found", false},  // a redirect without a Location ends the chain
        {"404 Not Found", false},
        {"500 Internal Server Error", false},
        {"200 OK\r\nContent-Encoding: gzip", false},
        {"200 OK\r\nContent-Encoding: identity", true},
        {"200 OK\r\nContent-Encoding:  IDENTITY ", true},
        {"200 OK\r\nContent-Encoding: identity, gzip", false},
        {"200 OK\r\nContent-Encoding: identity\r\nContent-Encoding: br", false},
    };
    for (const Case& c : cases) {
        FakeProgress progress;
        Outcome o = transfer(reply_with_body(c.head, "body of the answer"), progress);
        EXPECT_EQ(o.result, c.head[0] == '2') << c.head;
        EXPECT_EQ(o.plain_success, c.plain) << c.head;
    }
}

// A silence of twice the bound in the middle of the body, then the rest: a
// transfer that waited that long would succeed. No Content-Length, so a
// time-out taken for the end of the body would succeed too. (The end-to-end
// tests also cover a server silent from the start.)
TEST(HttpTransfer, AServerStallingMidBodyFailsTheTransferAfterTheBound)
{
    const std::string whole = "HTTP/1.0 200 OK\r\n\r\n" + std::string(100, 'w');
    const std::size_t half = whole.size() - 50;
    FakeProgress progress;
    Outcome o = transfer(
        {{whole.substr(0, half), 2 * static_cast<int>(body_wait_timeout_ms), whole.substr(half)}},
        progress);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_TRUE(o.handles_closed);
}

// A server whose queue of connections is full: the system drops further
// connection attempts, which the client repeats after 1, 3, 7, 15, 31 and
// 63 s. After 45 s the server takes every waiting connection and answers
// each request completely, so a client that waited past the bound for its
// connection would get the attempt at 63 s through and succeed.
class FullQueueServer {
public:
    FullQueueServer()
    {
        listener_ = bound_loopback_socket(port_);
        listen(listener_, 0);
        for (SOCKET& filler : fillers_) {
            filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long non_blocking = 1;
            ioctlsocket(filler, FIONBIO, &non_blocking);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port_);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~FullQueueServer()
    {
        stopping_ = true;
        closesocket(listener_);
        thread_.join();
        for (SOCKET filler : fillers_)
            closesocket(filler);
        WSACleanup();
    }

    INTERNET_PORT port() const { return port_; }

private:
    void serve()
    {
        for (int waited = 0; waited < 45 && !stopping_; ++waited)
            Sleep(1000);
        for (int turns = 0; turns < 120 && !stopping_; ++turns) {
            if (!readable(listener_, 1000))
                continue;
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET)
                return;
            char buffer[4096];
            if (readable(client, 2000) && recv(client, buffer, sizeof(buffer), 0) > 0)
                send(client, answer_.data(), static_cast<int>(answer_.size()), 0);
            closesocket(client);
        }
    }

    const std::string answer_ = reply_with_body("200 OK", "late");
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET fillers_[2] = {INVALID_SOCKET, INVALID_SOCKET};
    INTERNET_PORT port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The transfer's own head bound, short here, is what ends the wait.
TEST(HttpTransfer, AConnectionNeverAcceptedFailsTheTransferAfterTheHeadBound)
{
    FullQueueServer server;
    FakeProgress progress;
    HttpTransfer http(2000);
    ASSERT_TRUE(http.open_request("127.0.0.1", server.port(), "/x", "GET", false));
    MemoryStream body;
    std::int32_t byte_count = -1;
    EXPECT_FALSE(http.send_request(body, progress, byte_count, 1024));
    EXPECT_EQ(byte_count, 0);
    EXPECT_EQ(http.request_handle, nullptr);
    EXPECT_EQ(http.internet_handle, nullptr);
    http.close_all();
}

// A head that comes 3 s after the request: a transfer whose head bound is
// shorter fails, one whose bound is longer reads the body.
TEST(HttpTransfer, TheHeadIsAwaitedForTheTransfersOwnBound)
{
    const std::string whole = reply_with_body("200 OK", "late head");
    for (DWORD bound : {1500, 8000}) {
        ScriptedServer server({{"", 3000, whole}});
        HttpTransfer http(bound);
        ASSERT_TRUE(http.open_request("127.0.0.1", server.port(), "/x", "GET", false));
        FakeProgress progress;
        MemoryStream body;
        std::int32_t byte_count = -1;
        EXPECT_EQ(http.send_request(body, progress, byte_count, 1024), bound > 3000) << bound;
        EXPECT_EQ(byte_count, bound > 3000 ? 9 : 0) << bound;
        http.close_all();
        server.stop();
    }
}

// A port that was free a moment ago, with nothing listening on it now.
INTERNET_PORT unused_port()
{
    INTERNET_PORT port = 0;
    closesocket(bound_loopback_socket(port));
    WSACleanup();
    return port;
}

TEST(HttpTransfer, NothingListeningFailsTheSendAndClosesEverything)
{
    FakeProgress progress;
    HttpTransfer http(file_head_timeout_ms);
    ASSERT_TRUE(http.open_request("127.0.0.1", unused_port(), "/x", "GET", false));
    MemoryStream body;
    std::int32_t byte_count = -1;
    EXPECT_FALSE(http.send_request(body, progress, byte_count, 1024));
    EXPECT_EQ(byte_count, 0);
    EXPECT_EQ(progress.pumps, 0);
    EXPECT_EQ(http.internet_handle, nullptr);
    EXPECT_EQ(http.connection_handle, nullptr);
    EXPECT_EQ(http.request_handle, nullptr);
    http.close_all();
}

}  // namespace

TEST(HttpTransfer, ResponseHeadersAreReadByNameOfAnyLength)
{
    std::string long_value(1000, 'v');
    ScriptedServer server({Answer("HTTP/1.0 200 OK\r\nX-Update-Signature: MEUCIQ==\r\nX-Long: " +
                                  long_value + "\r\nContent-Length: 2\r\n\r\nok")});
    HttpTransfer http(file_head_timeout_ms);
    ASSERT_TRUE(http.open_request("127.0.0.1", server.port(), "/upload/list", "GET", false));
    FakeProgress progress;
    MemoryStream body;
    std::int32_t byte_count = 0;
    ASSERT_TRUE(http.send_request(body, progress, byte_count, 1024));

    std::string value;
    EXPECT_TRUE(http.response_header("X-Update-Signature", value));
    EXPECT_EQ(value, "MEUCIQ==");
    EXPECT_TRUE(http.response_header("x-update-signature", value));
    EXPECT_EQ(value, "MEUCIQ==");
    EXPECT_TRUE(http.response_header("X-Long", value));
    EXPECT_EQ(value, long_value);
    value = "unchanged";
    EXPECT_FALSE(http.response_header("X-Missing", value));
    EXPECT_EQ(value, "unchanged");
    http.close_all();
    server.stop();
}
