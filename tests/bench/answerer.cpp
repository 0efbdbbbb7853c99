// Answers the updater's message boxes for the benchmark, as fast as a person
// never could and as lightly as it can: it only lists the top-level dialogs
// every few milliseconds, looks at each new one once, and never sends the
// updater's windows a message (a reply would wait for the updater's pump).
// Yes to a question, OK to anything else. One JSON line per answer:
// {"t": ms since 1970, "ev": "answer", "button": ..., "text": ...}.
//
//   answerer <record file> <stop file> <bound seconds>

#include "record_line.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

const DWORD poll_ms = 5;
const int message_text_id = 0xFFFF;

bool is_other_process_window(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process != GetCurrentProcessId();
}

// A message box has an answer button; the updater's progress dialogs have
// only Cancel. 0 when the dialog is not a message box.
int answer_for(HWND dialog)
{
    if (GetDlgItem(dialog, IDYES) != nullptr)
        return IDYES;
    if (GetDlgItem(dialog, IDOK) != nullptr)
        return IDOK;
    return 0;
}

void answer(HWND box, int button, std::FILE* record_file)
{
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    append_line(record_file, record_line("answer")
                                 .text("button", button == IDYES ? "YES" : "OK")
                                 .ansi("text", window_text(GetDlgItem(box, message_text_id))));
}

// Looks at the dialogs not seen before; answers those that are message boxes
// once they are on screen.
void sweep(std::set<HWND>& seen, std::FILE* record_file)
{
    HWND dialog = nullptr;
    while ((dialog = FindWindowExA(nullptr, dialog, "#32770", nullptr)) != nullptr) {
        if (seen.count(dialog) != 0 || !IsWindowVisible(dialog) || !is_other_process_window(dialog))
            continue;
        seen.insert(dialog);
        if (int button = answer_for(dialog))
            answer(dialog, button, record_file);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: answerer <record file> <stop file> <bound seconds>\n");
        return 2;
    }
    std::FILE* record_file = std::fopen(argv[1], "ab");
    if (record_file == nullptr)
        return 2;
    const char* stop_file = argv[2];
    long long bound_ms = std::atoll(argv[3]) * 1000;
    long long started = unix_time_ms();
    append_line(record_file, record_line("start"));
    std::set<HWND> seen;
    while (GetFileAttributesA(stop_file) == INVALID_FILE_ATTRIBUTES &&
           unix_time_ms() - started < bound_ms) {
        sweep(seen, record_file);
        Sleep(poll_ms);
    }
    std::fclose(record_file);
    return 0;
}
