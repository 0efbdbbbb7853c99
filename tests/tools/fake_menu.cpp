// Stand-in for the application's launcher menu.exe. It appends one JSON line
// about its own start to the file named by UPDATER_TEST_MENU_RECORD (which it
// inherits from the updater) and exits; it writes nothing anywhere else.

#include "record_line.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string current_folder()
{
    char buffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    return std::string(buffer, n < sizeof buffer ? n : 0);
}

std::string own_path()
{
    char buffer[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, n < sizeof buffer ? n : 0);
}

// The captions of the updater's windows (dialogs and message boxes) that are
// still on screen.
BOOL CALLBACK collect_updater_window(HWND window, LPARAM list)
{
    if (IsWindowVisible(window) && class_name(window) == "#32770")
        reinterpret_cast<std::vector<std::string>*>(list)->push_back(
            ansi_to_utf8(window_text(window)));
    return TRUE;
}

std::string captions_json(const std::vector<std::string>& captions)
{
    std::string list = "[";
    for (size_t i = 0; i < captions.size(); ++i)
        list += (i ? "," : "") + json_quoted(captions[i]);
    return list + "]";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    record_line line("menu");
    std::vector<std::string> captions;
    EnumWindows(collect_updater_window, reinterpret_cast<LPARAM>(&captions));
    line.ansi("command_line", GetCommandLineA())
        .ansi("cwd", current_folder())
        .ansi("exe", own_path())
        .raw("windows", captions_json(captions));

    char record_path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("UPDATER_TEST_MENU_RECORD", record_path, sizeof record_path);
    if (n == 0 || n >= sizeof record_path)
        return 0;
    FILE* record = std::fopen(record_path, "ab");
    append_line(record, line);
    if (record)
        std::fclose(record);
    return 0;
}
