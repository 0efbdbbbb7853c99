// HttpTransfer against a one-shot HTTP server on 127.0.0.1 run by the test.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/http_transfer.h"
#include "ui/modeless_dialog.h"

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

// Answers one connection with a fixed reply, then closes.
class OneShotServer {
public:
    explicit OneShotServer(std::string reply) : reply_(std::move(reply))
    {
        listener_ = bound_loopback_socket(port_);
        listen(listener_, 1);
        thread_ = std::thread([this] { serve(); });
    }

    ~OneShotServer()
    {
        closesocket(listener_);
        thread_.join();
        WSACleanup();
    }

    INTERNET_PORT port() const { return port_; }
    const std::string& request() const { return request_; }

private:
    void serve()
    {
        // A bounded wait: a test that never connects must not hang.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval timeout = {10, 0};
        if (select(0, &readable, nullptr, nullptr, &timeout) != 1)
            return;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        char buffer[4096];
        while (request_.find("\r\n\r\n") == std::string::npos) {
            int n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            request_.append(buffer, n);
        }
        send(client, reply_.data(), static_cast<int>(reply_.size()), 0);
        shutdown(client, SD_SEND);
        closesocket(client);
    }

    std::string reply_;
    std::string request_;
    SOCKET listener_ = INVALID_SOCKET;
    INTERNET_PORT port_ = 0;
    std::thread thread_;
};

// Counts the pumps and can cancel or quit at a given pump.
class FakeProgress : public ModelessDialog {
public:
    int pumps = 0;
    int cancel_at = -1;
    int quit_at = -1;

    bool pump_messages() override
    {
        ++pumps;
        if (pumps == cancel_at)
            cancelled = true;
        return pumps != quit_at;
    }
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
    std::string request;
};

Outcome transfer(const std::string& reply, FakeProgress& progress, std::size_t limit = 1 << 20)
{
    OneShotServer server(reply);
    HttpTransfer http;
    Outcome outcome = {};
    outcome.byte_count = -1;
    EXPECT_TRUE(http.open_request("127.0.0.1", server.port(), "/files/a.bin", "GET"));
    outcome.result = http.send_request(outcome.body, progress, outcome.byte_count, limit);
    outcome.pumps = progress.pumps;
    outcome.handles_closed = http.internet_handle == nullptr && http.connection_handle == nullptr &&
                             http.request_handle == nullptr;
    http.close_all();
    http.close_all();
    EXPECT_EQ(http.request_handle, nullptr);
    outcome.request = server.request();
    return outcome;
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
    EXPECT_FALSE(o.handles_closed);
    EXPECT_EQ(o.request.rfind("GET /files/a.bin HTTP/1.0\r\n", 0), 0u) << o.request;
    EXPECT_NE(o.request.find("User-Agent: Tervalisk\r\n"), std::string::npos) << o.request;
}

TEST(HttpTransfer, EmptyBodyAndErrorStatusAreDeliveredLikeAnyOther)
{
    FakeProgress empty;
    Outcome o = transfer(reply_with_body("200 OK", ""), empty);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.byte_count, 0);
    EXPECT_EQ(o.pumps, 1);

    FakeProgress missing;
    o = transfer(reply_with_body("404 Not Found", "no such page"), missing);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(std::string(o.body.begin(), o.body.end()), "no such page");
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

TEST(HttpTransfer, ResponseHeadersAreReadByNameOfAnyLength)
{
    std::string long_value(1000, 'v');
    OneShotServer server("HTTP/1.0 200 OK\r\nX-Update-Signature: MEUCIQ==\r\nX-Long: " +
                         long_value + "\r\nContent-Length: 2\r\n\r\nok");
    HttpTransfer http;
    ASSERT_TRUE(http.open_request("127.0.0.1", server.port(), "/upload/list", "GET"));
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
    HttpTransfer http;
    ASSERT_TRUE(http.open_request("127.0.0.1", unused_port(), "/x", "GET"));
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
