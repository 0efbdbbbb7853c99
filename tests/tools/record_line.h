// One line of a JSON-lines record, as written by the test tools that run
// beside the updater (ui_driver, the stand-in menu.exe). Texts read from
// windows are in the ANSI code page and are converted to UTF-8 here.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

// Milliseconds since 1970-01-01 UTC: the clock every test record shares
// (under Wine it is the host's wall clock, so the harness can compare it).
inline long long unix_time_ms()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    const unsigned long long epoch_offset = 116444736000000000ULL;
    return static_cast<long long>((t.QuadPart - epoch_offset) / 10000);
}

inline std::string ansi_to_utf8(const std::string& ansi)
{
    if (ansi.empty())
        return ansi;
    int wide_len =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(wide_len, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], wide_len);
    int utf8_len =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
    std::string utf8(utf8_len, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, &utf8[0], utf8_len, nullptr, nullptr);
    return utf8;
}

inline std::string json_quoted(const std::string& utf8)
{
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A JSON object built field by field; every line starts with the time "t"
// and the event name "ev".
class record_line {
public:
    explicit record_line(const char* event)
    {
        body_ = "{\"t\":" + std::to_string(unix_time_ms()) + ",\"ev\":" + json_quoted(event);
    }

    record_line& raw(const char* name, const std::string& json_value)
    {
        body_ += ",";
        body_ += json_quoted(name);
        body_ += ":";
        body_ += json_value;
        return *this;
    }
    record_line& text(const char* name, const std::string& utf8)
    {
        return raw(name, json_quoted(utf8));
    }
    record_line& ansi(const char* name, const std::string& ansi)
    {
        return text(name, ansi_to_utf8(ansi));
    }
    record_line& number(const char* name, long long value)
    {
        return raw(name, std::to_string(value));
    }
    record_line& flag(const char* name, bool value) { return raw(name, value ? "true" : "false"); }
    record_line& numbers(const char* name, const std::vector<long long>& values)
    {
        std::string list = "[";
        for (size_t i = 0; i < values.size(); ++i)
            list += (i ? "," : "") + std::to_string(values[i]);
        return raw(name, list + "]");
    }

    std::string str() const { return body_ + "}\n"; }

private:
    std::string body_;
};

// Appends one line and flushes it, so a reader sees every complete line even
// when the writer is killed.
inline void append_line(FILE* file, const record_line& line)
{
    if (!file)
        return;
    std::string s = line.str();
    std::fwrite(s.data(), 1, s.size(), file);
    std::fflush(file);
}

inline std::string window_text(HWND window)
{
    // For a window of another process this reads the text the system keeps,
    // without sending the window a message, so a busy updater cannot block it.
    char buffer[1024];
    int n = GetWindowTextA(window, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? n : 0);
}

inline std::string class_name(HWND window)
{
    char buffer[256];
    int n = GetClassNameA(window, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? n : 0);
}
