// A scripted HTTP server on 127.0.0.1 run by a test, and a progress sink
// that counts the pumps and cancels or quits at a given one.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <wininet.h>

#include <string>
#include <thread>
#include <vector>

#include "net/progress_sink.h"

// A socket bound to a free port on 127.0.0.1; the caller owns the Winsock
// start-up that this does and calls WSACleanup.
inline SOCKET bound_loopback_socket(INTERNET_PORT& port)
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
inline bool readable(SOCKET socket, int milliseconds)
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

inline std::string reply_with_body(const std::string& status, const std::string& body)
{
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: application/octet-stream\r\n\r\n" + body;
}
