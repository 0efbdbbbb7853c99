// ui_driver: runs beside the updater in the same Wine prefix, finds its
// windows as a person would see them, answers them by the steps of a script
// and records everything it observes as JSON lines.
//
//   ui_driver <steps file> <record file> <screenshot folder> <stop file> [bound seconds]
//
// Steps, one per line ('#' starts a comment):
//   answer OK|YES|NO [button|esc|close]
//   cancel check|download [button|esc|close] [when-overall N] [when-file NAME]
//   wait-shown check|download|message
//   sleep MS
//   auto-answer
//   measure check|download|message
//   shoot-part-way download
// shoot-part-way photographs the windows of that kind that follow only once
// every bar stands part way, so that the picture shows a download under way
// (a window gone before that has no picture). measure records, for every text control of the latest such window, the
// room its text needs in the control's own font (see measure_texts).
// The driver ends when the stop file exists or the bound (default 120 s) has
// passed; it keeps recording after the last step.

#include "record_line.h"
#include "ui/resource_ids.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int poll_ms = 10;
// A window is photographed once it has been on screen this long and has
// nothing left to paint, or, should it never finish, after the longer bound.
const long long settle_ms = 150;
const long long paint_bound_ms = 3000;
const int message_text_id = 0xFFFF;

FILE* record_file = nullptr;

void record(const record_line& line)
{
    append_line(record_file, line);
}

std::string hex_handle(HWND window)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
    return buffer;
}

// --- what is known about one window -------------------------------------

struct bar_state {
    int id = 0;
    long long low = 0, high = 0, pos = 0;
    bool known = false;
    int pending = 0;  // answers still due for the query under way
    long long new_low = 0, new_high = 0, new_pos = 0;
};

struct tracked_window {
    int id = 0;
    HWND hwnd = nullptr;
    std::string kind;  // "check", "download" or "message"
    bool visible = false;
    long long shown_at = 0;
    bool shot_taken = false;
    bool answered = false;
    std::string caption;
    std::string file_name;
    RECT rect{};
    std::vector<bar_state> bars;
};

std::vector<std::unique_ptr<tracked_window>> windows;
std::string shot_folder;

tracked_window* find_tracked(HWND hwnd)
{
    for (auto& w : windows)
        if (w->hwnd == hwnd)
            return w.get();
    return nullptr;
}

tracked_window* find_tracked(int id)
{
    for (auto& w : windows)
        if (w->id == id)
            return w.get();
    return nullptr;
}

struct child_info {
    HWND hwnd;
    int id;
    std::string class_name;
    bool visible;
    RECT rect;
};

BOOL CALLBACK collect_child(HWND child, LPARAM list)
{
    if (GetParent(child) != GetAncestor(child, GA_PARENT))
        return TRUE;
    child_info info{
        child, GetDlgCtrlID(child), class_name(child), IsWindowVisible(child) != FALSE, {}};
    GetWindowRect(child, &info.rect);
    reinterpret_cast<std::vector<child_info>*>(list)->push_back(info);
    return TRUE;
}

std::vector<child_info> children_of(HWND window)
{
    std::vector<child_info> list;
    EnumChildWindows(window, collect_child, reinterpret_cast<LPARAM>(&list));
    return list;
}

bool is_answer_button(int id)
{
    return id == IDOK || id == IDABORT || id == IDRETRY || id == IDIGNORE || id == IDYES ||
           id == IDNO || id == IDTRYAGAIN || id == IDCONTINUE;
}

// The progress windows are told apart by their controls: only the download
// window has the file bar, and only a message box has answer buttons.
std::string kind_of(const std::vector<child_info>& children)
{
    for (const auto& c : children)
        if (c.id == IDC_FILE_BAR)
            return "download";
    for (const auto& c : children)
        if (c.visible && is_answer_button(c.id) && _stricmp(c.class_name.c_str(), "Button") == 0)
            return "message";
    return "check";
}

std::vector<long long> visible_buttons(const std::vector<child_info>& children)
{
    std::vector<child_info> buttons;
    for (const auto& c : children)
        if (c.visible && _stricmp(c.class_name.c_str(), "Button") == 0)
            buttons.push_back(c);
    std::sort(buttons.begin(), buttons.end(),
              [](const child_info& a, const child_info& b) { return a.rect.left < b.rect.left; });
    std::vector<long long> ids;
    for (const auto& b : buttons)
        ids.push_back(b.id);
    return ids;
}

std::string rect_json(const RECT& r)
{
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
}

std::string controls_json(const std::vector<child_info>& children)
{
    std::string list = "[";
    for (size_t i = 0; i < children.size(); ++i) {
        const auto& c = children[i];
        list += i ? "," : "";
        list += "{\"id\":" + std::to_string(c.id) + ",\"class\":" + json_quoted(c.class_name) +
                ",\"text\":" + json_quoted(ansi_to_utf8(window_text(c.hwnd))) +
                ",\"visible\":" + (c.visible ? "true" : "false") +
                ",\"rect\":" + rect_json(c.rect) + "}";
    }
    return list + "]";
}

// --- screenshots ---------------------------------------------------------

bool write_bmp(const std::string& path, int width, int height, const void* bits, int stride)
{
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(stride) * height;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + info.biSizeImage;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::fwrite(bits, 1, info.biSizeImage, out);
    return std::fclose(out) == 0;
}

BOOL CALLBACK find_unpainted_child(HWND child, LPARAM found)
{
    if (GetUpdateRect(child, nullptr, FALSE)) {
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
}

// Whether the window and its controls have painted all they were asked to:
// on a loaded machine a window may be on screen a while before its program
// gets round to painting it.
bool is_painted(HWND hwnd)
{
    bool unpainted_child = false;
    EnumChildWindows(hwnd, find_unpainted_child, reinterpret_cast<LPARAM>(&unpainted_child));
    return !GetUpdateRect(hwnd, nullptr, FALSE) && !unpainted_child;
}

bool is_ready_for_shot(const tracked_window& w, long long now)
{
    const long long shown_for = now - w.shown_at;
    return shown_for >= paint_bound_ms || (shown_for >= settle_ms && is_painted(w.hwnd));
}

// Copies the window's rectangle of the screen, as a person sees it (with
// whatever lies above it).
void take_shot(tracked_window& w)
{
    w.shot_taken = true;
    RECT r;
    if (!GetWindowRect(w.hwnd, &r) || r.right <= r.left || r.bottom <= r.top)
        return;
    int width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::string name = "w" + std::to_string(w.id) + "_" + w.kind + ".bmp";
    bool saved =
        bits && write_bmp(shot_folder + "\\" + name, width, height, bits, (width * 3 + 3) & ~3);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (saved)
        record(record_line("shot").number("win", w.id).text("file", name));
}

// The kinds of window photographed only with their bars part way.
std::vector<std::string> kinds_shot_part_way;

bool is_shot_part_way(const std::string& kind)
{
    return std::find(kinds_shot_part_way.begin(), kinds_shot_part_way.end(), kind) !=
           kinds_shot_part_way.end();
}

// --- progress bars ---------------------------------------------------------
// A bar keeps its range and position to itself, so they are asked for with
// messages. The updater's thread answers only while it pumps, so the
// questions are sent without waiting and answered through a callback; a bar
// has at most one set of questions under way.

enum bar_question { ask_low, ask_high, ask_pos };

void CALLBACK bar_answer(HWND control, UINT, ULONG_PTR tag, LRESULT result)
{
    tracked_window* w = find_tracked(static_cast<int>(tag >> 8));
    size_t bar_index = (tag >> 4) & 0xF;
    if (!w || bar_index >= w->bars.size())
        return;
    bar_state& bar = w->bars[bar_index];
    switch (tag & 0xF) {
    case ask_low:
        bar.new_low = result;
        break;
    case ask_high:
        bar.new_high = result;
        break;
    default:
        bar.new_pos = result;
        break;
    }
    if (--bar.pending > 0)
        return;
    // A bar destroyed with questions under way answers them with zeros.
    if (!w->visible || !IsWindow(control))
        return;
    if (bar.known && bar.new_low == bar.low && bar.new_high == bar.high && bar.new_pos == bar.pos)
        return;
    bar.known = true;
    bar.low = bar.new_low;
    bar.high = bar.new_high;
    bar.pos = bar.new_pos;
    record(record_line("bar")
               .number("win", w->id)
               .number("id", bar.id)
               .number("pos", bar.pos)
               .number("min", bar.low)
               .number("max", bar.high));
}

bool bars_part_way(const tracked_window& w)
{
    return !w.bars.empty() && std::all_of(w.bars.begin(), w.bars.end(), [](const bar_state& bar) {
               return bar.known && bar.low < bar.pos && bar.pos < bar.high;
           });
}

void ask_bars(tracked_window& w)
{
    for (size_t i = 0; i < w.bars.size(); ++i) {
        bar_state& bar = w.bars[i];
        HWND control = GetDlgItem(w.hwnd, bar.id);
        if (bar.pending > 0 || !control)
            continue;
        ULONG_PTR tag = (static_cast<ULONG_PTR>(w.id) << 8) | (i << 4);
        bar.pending = 3;
        SendMessageCallbackA(control, PBM_GETRANGE, TRUE, 0, bar_answer, tag | ask_low);
        SendMessageCallbackA(control, PBM_GETRANGE, FALSE, 0, bar_answer, tag | ask_high);
        SendMessageCallbackA(control, PBM_GETPOS, 0, 0, bar_answer, tag | ask_pos);
    }
}

// --- watching the screen ---------------------------------------------------

BOOL CALLBACK collect_dialog(HWND window, LPARAM list)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() && IsWindowVisible(window) &&
        class_name(window) == "#32770")
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

void record_shown(tracked_window& w, const std::vector<child_info>& children)
{
    HWND owner = GetWindow(w.hwnd, GW_OWNER);
    tracked_window* owner_window = owner ? find_tracked(owner) : nullptr;
    record_line line("shown");
    line.number("win", w.id)
        .text("kind", w.kind)
        .text("hwnd", hex_handle(w.hwnd))
        .ansi("caption", w.caption);
    if (w.kind == "message")
        line.ansi("text", window_text(GetDlgItem(w.hwnd, message_text_id)));
    line.numbers("buttons", visible_buttons(children))
        .raw("owner", owner_window ? std::to_string(owner_window->id) : "null")
        .raw("owner_hwnd", owner ? json_quoted(hex_handle(owner)) : "null")
        .raw("rect", rect_json(w.rect))
        .raw("controls", controls_json(children));
    record(line);
}

void see_new_window(HWND hwnd)
{
    // A dialog without controls is still being built or already being torn
    // down: it is looked at again on the next round, if it is still there.
    auto children = children_of(hwnd);
    if (children.empty())
        return;
    auto w = std::make_unique<tracked_window>();
    w->id = static_cast<int>(windows.size()) + 1;
    w->hwnd = hwnd;
    w->kind = kind_of(children);
    w->visible = true;
    w->shown_at = unix_time_ms();
    w->caption = window_text(hwnd);
    GetWindowRect(hwnd, &w->rect);
    for (int id : {IDC_FILE_BAR, IDC_OVERALL_BAR})
        if (GetDlgItem(hwnd, id)) {
            w->bars.emplace_back();
            w->bars.back().id = id;
        }
    if (HWND name = GetDlgItem(hwnd, IDC_FILE_NAME))
        w->file_name = window_text(name);
    record_shown(*w, children);
    windows.push_back(std::move(w));
}

void see_window_again(tracked_window& w)
{
    if (!w.visible) {
        w.visible = true;
        w.shown_at = unix_time_ms();
        record_shown(w, children_of(w.hwnd));
    }
    std::string caption = window_text(w.hwnd);
    if (caption != w.caption) {
        w.caption = caption;
        record(record_line("caption").number("win", w.id).ansi("caption", caption));
    }
    if (HWND name = GetDlgItem(w.hwnd, IDC_FILE_NAME)) {
        std::string text = window_text(name);
        if (text != w.file_name) {
            w.file_name = text;
            record(record_line("text")
                       .number("win", w.id)
                       .number("id", IDC_FILE_NAME)
                       .ansi("text", text));
        }
    }
    RECT rect;
    if (GetWindowRect(w.hwnd, &rect) && !EqualRect(&rect, &w.rect)) {
        w.rect = rect;
        record(record_line("moved").number("win", w.id).raw("rect", rect_json(rect)));
    }
}

void observe()
{
    std::vector<HWND> present;
    EnumWindows(collect_dialog, reinterpret_cast<LPARAM>(&present));
    // Bottom of the Z order first, so that a window appearing together with
    // the message box it owns is recorded before the box.
    std::reverse(present.begin(), present.end());
    for (HWND hwnd : present) {
        if (tracked_window* w = find_tracked(hwnd))
            see_window_again(*w);
        else
            see_new_window(hwnd);
    }
    long long now = unix_time_ms();
    for (auto& w : windows) {
        if (!w->visible)
            continue;
        if (std::find(present.begin(), present.end(), w->hwnd) == present.end()) {
            w->visible = false;
            record(record_line("gone")
                       .number("win", w->id)
                       .text("how", IsWindow(w->hwnd) ? "hidden" : "destroyed"));
            continue;
        }
        ask_bars(*w);
        if (!w->shot_taken && is_ready_for_shot(*w, now) && (!is_shot_part_way(w->kind) || bars_part_way(*w)))
            take_shot(*w);
    }
}

void take_callbacks()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

// --- measuring texts ---------------------------------------------------------
// A label shows its text whole only when the text, laid out as the control
// lays it out (word-wrapped for a static, one line for a button), needs no
// more room than the control's client area. A font handle means nothing in
// another process, so the font is made here as the window's owner made it:
// the message font of the system for a message box, the font that both
// dialog templates declare (MS Shell Dlg, 8 points) for the progress windows,
// each at the screen's DPI.

HFONT font_of_window(const std::string& kind)
{
    if (kind == "message") {
        NONCLIENTMETRICSA metrics{};
        metrics.cbSize = sizeof metrics;
        if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
            return nullptr;
        return CreateFontIndirectA(&metrics.lfMessageFont);
    }
    HDC screen = GetDC(nullptr);
    int height = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                       "MS Shell Dlg");
}

bool is_text_control(HWND control, const std::string& class_name_of_control)
{
    if (_stricmp(class_name_of_control.c_str(), "Button") == 0)
        return true;
    if (_stricmp(class_name_of_control.c_str(), "Static") != 0)
        return false;
    LONG type = GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK;
    return type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT || type == SS_LEFTNOWORDWRAP;
}

void measure_texts(tracked_window& w)
{
    HDC screen = GetDC(nullptr);
    HFONT font = font_of_window(w.kind);
    HGDIOBJ old = SelectObject(screen, font ? font : GetStockObject(SYSTEM_FONT));
    TEXTMETRICA metrics{};
    GetTextMetricsA(screen, &metrics);
    char face[LF_FACESIZE] = {};
    GetTextFaceA(screen, sizeof face, face);
    std::string list = "[";
    for (const auto& c : children_of(w.hwnd)) {
        std::string text = window_text(c.hwnd);
        if (!c.visible || text.empty() || !is_text_control(c.hwnd, c.class_name))
            continue;
        RECT client{};
        GetClientRect(c.hwnd, &client);
        bool button = _stricmp(c.class_name.c_str(), "Button") == 0;
        RECT needed = {0, 0, client.right, 0};
        DrawTextA(screen, text.c_str(), -1, &needed,
                  DT_CALCRECT | DT_NOPREFIX | (button ? DT_SINGLELINE : DT_WORDBREAK));
        list += list.size() > 1 ? "," : "";
        list += "{\"id\":" + std::to_string(c.id) + ",\"class\":" + json_quoted(c.class_name) +
                ",\"text\":" + json_quoted(ansi_to_utf8(text)) + ",\"client\":[" +
                std::to_string(client.right) + "," + std::to_string(client.bottom) +
                "],\"needed\":[" + std::to_string(needed.right - needed.left) + "," +
                std::to_string(needed.bottom - needed.top) + "]}";
    }
    SelectObject(screen, old);
    if (font)
        DeleteObject(font);
    ReleaseDC(nullptr, screen);
    record(record_line("measured")
               .number("win", w.id)
               .text("kind", w.kind)
               .text("font", ansi_to_utf8(face))
               .number("line_height", metrics.tmHeight)
               .raw("texts", list + "]"));
}

// --- pressing ---------------------------------------------------------------

const std::map<std::string, int> button_ids = {
    {"OK", IDOK}, {"CANCEL", IDCANCEL}, {"YES", IDYES}, {"NO", IDNO}};

std::string button_name(int id)
{
    for (const auto& b : button_ids)
        if (b.second == id)
            return b.first;
    return std::to_string(id);
}

// A click on a push button reaches its dialog as WM_COMMAND with BN_CLICKED
// and the button's handle.
void click(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// The key goes to the control that has the focus, as the keyboard would send
// it; the dialog manager of the updater's pump turns it into IDCANCEL.
void press_escape(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus &&
        (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus)))
        target = info.hwndFocus;
    UINT scan = MapVirtualKeyA(VK_ESCAPE, MAPVK_VK_TO_VSC);
    PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, VK_ESCAPE, 1 | (scan << 16) | 0xC0000000u);
}

void press(tracked_window& w, int button, const std::string& how)
{
    if (!w.shot_taken)
        take_shot(w);
    record(record_line("press")
               .number("win", w.id)
               .text("kind", w.kind)
               .text("button", button_name(button))
               .number("id", button)
               .text("how", how));
    if (how == "esc")
        press_escape(w.hwnd);
    else if (how == "close")
        PostMessageA(w.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
        click(w.hwnd, button);
}

// --- the script --------------------------------------------------------------

struct step {
    int number = 0;
    std::string line;
    std::vector<std::string> words;
    long long started_at = 0;
    int target = 0;  // the window a cancel step is about
};

bool auto_answer = false;

void step_error(const step& s, const std::string& reason)
{
    record(record_line("step-error")
               .number("n", s.number)
               .text("step", s.line)
               .text("reason", reason));
}

bool is_how(const std::string& word)
{
    return word == "button" || word == "esc" || word == "close";
}

bool message_has_button(const tracked_window& w, int id)
{
    auto buttons = visible_buttons(children_of(w.hwnd));
    return std::find(buttons.begin(), buttons.end(), id) != buttons.end();
}

tracked_window* next_unanswered_message()
{
    for (auto& w : windows)
        if (w->kind == "message" && w->visible && !w->answered)
            return w.get();
    return nullptr;
}

tracked_window* latest(const std::string& kind, bool visible_only)
{
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if ((*it)->kind == kind && ((*it)->visible || !visible_only))
            return it->get();
    return nullptr;
}

long long bar_pos(const tracked_window& w, int id)
{
    for (const auto& bar : w.bars)
        if (bar.id == id && bar.known)
            return bar.pos;
    return -1;
}

// Each run_* returns true when its step is finished (done or given up).
bool run_answer(step& s)
{
    tracked_window* box = next_unanswered_message();
    if (!box || !is_ready_for_shot(*box, unix_time_ms()))
        return false;
    auto id = button_ids.find(s.words[1]);
    std::string how = s.words.size() > 2 ? s.words[2] : "button";
    if (!message_has_button(*box, id->second)) {
        // Left unanswered, for a later step to deal with.
        step_error(s, "message box has no " + s.words[1] + " button");
        return true;
    }
    box->answered = true;
    press(*box, id->second, how);
    return true;
}

bool condition_holds(const tracked_window& w, const std::string& condition,
                     const std::string& argument)
{
    if (condition == "when-overall")
        return bar_pos(w, IDC_OVERALL_BAR) >= std::stoll(argument);
    return w.file_name == argument;  // when-file
}

// Reads "cancel KIND [how] [condition argument]...": the way to
// press, and whether every condition holds now.
bool cancel_moment(const tracked_window& w, const std::vector<std::string>& words, std::string& how)
{
    how = "button";
    bool holds = true;
    for (size_t i = 2; i < words.size(); ++i) {
        if (is_how(words[i])) {
            how = words[i];
        } else {
            holds = holds && condition_holds(w, words[i], words[i + 1]);
            ++i;
        }
    }
    return holds;
}

// Waits for a window of the kind and its conditions, then presses Cancel.
// A person cannot press Cancel in a window that a message box has disabled,
// nor in one that has gone: the step then gives up, so that later steps
// (answering that message box, say) still run.
bool run_cancel(step& s)
{
    if (!s.target) {
        tracked_window* w = latest(s.words[1], true);
        if (!w)
            return false;
        s.target = w->id;
    }
    tracked_window& w = *find_tracked(s.target);
    if (!w.visible || !IsWindowEnabled(w.hwnd)) {
        step_error(s, w.visible ? "window disabled before the moment came"
                                : "window gone before the moment came");
        return true;
    }
    std::string how;
    if (!cancel_moment(w, s.words, how))
        return false;
    press(w, IDCANCEL, how);
    return true;
}

bool run_step(step& s)
{
    const std::string& verb = s.words[0];
    if (verb == "answer")
        return run_answer(s);
    if (verb == "cancel")
        return run_cancel(s);
    if (verb == "wait-shown")
        return latest(s.words[1], true) != nullptr;
    if (verb == "measure") {
        tracked_window* w = latest(s.words[1], true);
        if (!w || unix_time_ms() - w->shown_at < settle_ms)
            return false;
        measure_texts(*w);
        return true;
    }
    if (verb == "sleep")
        return unix_time_ms() - s.started_at >= std::stoll(s.words[1]);
    if (verb == "shoot-part-way") {
        kinds_shot_part_way.push_back(s.words[1]);
        return true;
    }
    auto_answer = true;
    return true;
}

// After an auto-answer step every further message box gets the answer that
// ends a run soonest: OK where there is one, otherwise No.
void answer_leftover_boxes()
{
    tracked_window* box = next_unanswered_message();
    if (!auto_answer || !box || unix_time_ms() - box->shown_at < settle_ms)
        return;
    box->answered = true;
    press(*box, message_has_button(*box, IDOK) ? IDOK : IDNO, "button");
}

bool is_number(const std::string& word)
{
    return !word.empty() &&
           std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_kind(const std::string& word, bool message_too)
{
    return word == "check" || word == "download" || (message_too && word == "message");
}

bool valid_cancel(const std::vector<std::string>& w)
{
    if (w.size() < 2 || !is_kind(w[1], false))
        return false;
    for (size_t i = 2; i < w.size(); ++i) {
        if (is_how(w[i]))
            continue;
        if (w[i] == "when-overall" && i + 1 < w.size() && is_number(w[i + 1]))
            ++i;
        else if (w[i] == "when-file" && i + 1 < w.size())
            ++i;
        else
            return false;
    }
    return true;
}

bool valid_step(const std::vector<std::string>& w)
{
    const std::string& verb = w[0];
    if (verb == "answer")
        return (w.size() == 2 || (w.size() == 3 && is_how(w[2]))) &&
               (w[1] == "OK" || w[1] == "YES" || w[1] == "NO");
    if (verb == "cancel")
        return valid_cancel(w);
    if (verb == "wait-shown" || verb == "measure")
        return w.size() == 2 && is_kind(w[1], true);
    if (verb == "sleep")
        return w.size() == 2 && is_number(w[1]);
    if (verb == "shoot-part-way")
        return w.size() == 2 && w[1] == "download";
    return verb == "auto-answer" && w.size() == 1;
}

bool read_steps(const char* path, std::vector<step>& steps)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::istringstream words_in(line);
        std::vector<std::string> words;
        for (std::string word; words_in >> word;)
            words.push_back(word);
        if (words.empty())
            continue;
        step s;
        s.number = number;
        s.line = line;
        s.words = words;
        if (!valid_step(words)) {
            step_error(s, "not a step");
            return false;
        }
        steps.push_back(s);
    }
    return true;
}

bool file_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv)
{
    // Rectangles, screenshots and measured texts in the screen's own pixels,
    // whatever the scaling.
    SetProcessDPIAware();
    if (argc < 5 || argc > 6) {
        std::fprintf(
            stderr,
            "usage: ui_driver <steps> <record> <screenshot folder> <stop file> [bound seconds]\n");
        return 2;
    }
    record_file = std::fopen(argv[2], "ab");
    if (!record_file)
        return 2;
    shot_folder = argv[3];
    CreateDirectoryA(argv[3], nullptr);
    const char* stop_file = argv[4];
    long long bound_ms = (argc == 6 ? std::atoll(argv[5]) : 120) * 1000;

    std::vector<step> steps;
    if (!read_steps(argv[1], steps)) {
        record(record_line("end").text("reason", "bad script"));
        return 2;
    }
    long long started = unix_time_ms();
    record(record_line("start")
               .number("steps", static_cast<long long>(steps.size()))
               .number("screen_width", GetSystemMetrics(SM_CXSCREEN))
               .number("screen_height", GetSystemMetrics(SM_CYSCREEN)));

    size_t next = 0;
    std::string reason = "bound";
    while (unix_time_ms() - started < bound_ms) {
        if (file_exists(stop_file)) {
            reason = "stop file";
            break;
        }
        take_callbacks();
        observe();
        if (next < steps.size()) {
            step& s = steps[next];
            if (!s.started_at) {
                s.started_at = unix_time_ms();
                record(record_line("step").number("n", s.number).text("step", s.line));
            }
            if (run_step(s)) {
                record(record_line("step-done").number("n", s.number));
                ++next;
            }
        }
        answer_leftover_boxes();
        Sleep(poll_ms);
    }
    record(record_line("end")
               .text("reason", reason)
               .number("steps_done", static_cast<long long>(next))
               .number("steps", static_cast<long long>(steps.size())));
    std::fclose(record_file);
    return 0;
}
