// The least a program can do to fetch one file the way the updater must:
// WinINet with the updater's request, fixed-size reads, after every read one
// drain of the message queue and one move of a progress bar, the body kept in
// memory and written to disk in one piece. The benchmark runs it beside the
// updater to show what the design itself costs.
//
//   floor_fetch <url> <size> <output file> <read size>
//
// Exit code 0 when exactly <size> bytes arrived and were written.

#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* accept_types[] = {"Accept: */*", nullptr};

HWND create_progress_bar()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_POPUP | WS_VISIBLE | PBS_SMOOTH, 0, 0,
                               300, 20, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    return bar;
}

void drain_message_queue()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

bool fetch(const std::string& url, std::size_t size, DWORD read_size, HWND bar,
           std::vector<char>& body)
{
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
        return false;
    std::string host(parts.lpszHostName, parts.dwHostNameLength);
    std::string path(parts.lpszUrlPath, parts.dwUrlPathLength);

    HINTERNET internet =
        InternetOpenA("Tervalisk", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection =
        InternetConnectA(internet, host.c_str(), parts.nPort, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request =
        HttpOpenRequestA(connection, "GET", path.c_str(), "HTTP/1.0", nullptr, accept_types,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    bool complete = request != nullptr && HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    std::vector<char> buffer(read_size);
    body.reserve(size);
    while (complete) {
        DWORD bytes_read = 0;
        if (!InternetReadFile(request, buffer.data(), read_size, &bytes_read)) {
            complete = false;
            break;
        }
        body.insert(body.end(), buffer.data(), buffer.data() + bytes_read);
        drain_message_queue();
        WPARAM position = size == 0 ? 0 : static_cast<WPARAM>(body.size() * 100.0 / size);
        SendMessageA(bar, PBM_SETPOS, position, 0);
        if (bytes_read == 0)
            break;
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(internet);
    return complete && body.size() == size;
}

bool write_file(const char* path, const std::vector<char>& body)
{
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    bool written = std::fwrite(body.data(), 1, body.size(), file) == body.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 5)
        return 2;
    std::size_t size = std::strtoul(__argv[2], nullptr, 10);
    DWORD read_size = std::strtoul(__argv[4], nullptr, 10);
    if (read_size == 0)
        return 2;
    HWND bar = create_progress_bar();
    std::vector<char> body;
    bool fetched = fetch(__argv[1], size, read_size, bar, body);
    bool written = fetched && write_file(__argv[3], body);
    DestroyWindow(bar);
    return written ? 0 : 1;
}
