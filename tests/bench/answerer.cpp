// Answers the updater's message boxes for the benchmark, as fast as a person
// never could and as lightly as it can: it lists the top-level dialogs every
// few milliseconds, reads only what the window system keeps (the updater is
// never asked anything, which would wait for its pump) and posts its answer.
// Yes to a question, OK to anything else. One JSON line per answer:
// {"t": ms since 1970, "ev": "answer", "seen": when the box was first seen,
//  "button": ..., "text": ...}.
//
//   answerer <record file> <stop file> <bound seconds>

#include "record_line.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

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

// A message box on screen, not answered yet.
struct pending_box {
    long long seen_at = 0;
    std::string text;
};

void answer(HWND box, const pending_box& pending, int button, std::FILE* record_file)
{
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    append_line(record_file, record_line("answer")
                                 .number("seen", pending.seen_at)
                                 .text("button", button == IDYES ? "YES" : "OK")
                                 .ansi("text", pending.text));
}

// Looks at each dialog not done with; a message box is answered once two
// sweeps in a row have read the same text from it: a text read from another
// process while the box is being set up can be a passing state.
void sweep(std::set<HWND>& done, std::map<HWND, pending_box>& pending, std::FILE* record_file)
{
    HWND dialog = nullptr;
    while ((dialog = FindWindowExA(nullptr, dialog, "#32770", nullptr)) != nullptr) {
        if (done.count(dialog) != 0 || !IsWindowVisible(dialog) || !is_other_process_window(dialog))
            continue;
        int button = answer_for(dialog);
        if (button == 0) {
            done.insert(dialog);
            continue;
        }
        std::string text = window_text(GetDlgItem(dialog, message_text_id));
        auto known = pending.find(dialog);
        if (known == pending.end()) {
            pending[dialog] = {unix_time_ms(), text};
        } else if (!text.empty() && text == known->second.text) {
            answer(dialog, known->second, button, record_file);
            pending.erase(known);
            done.insert(dialog);
        } else {
            known->second.text = text;
        }
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
    std::set<HWND> done;
    std::map<HWND, pending_box> pending;
    while (GetFileAttributesA(stop_file) == INVALID_FILE_ATTRIBUTES &&
           unix_time_ms() - started < bound_ms) {
        sweep(done, pending, record_file);
        Sleep(poll_ms);
    }
    std::fclose(record_file);
    return 0;
}
