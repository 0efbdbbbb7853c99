#include "ui/modeless_dialog.h"

#include <commctrl.h>

#include "ui/resource_ids.h"
#include "ui/side_picture.h"

HINSTANCE module_instance = nullptr;

namespace {

// Messages reach the object only once create has stored it in the window's
// user-data slot; until then the dialog manager handles them.
INT_PTR CALLBACK dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto* dialog = reinterpret_cast<ModelessDialog*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (dialog == nullptr)
        return 0;
    return dialog->handle_message(window, message, wparam, lparam);
}

// The download window holds progress bars, whose window class the common
// controls library registers. The library is loaded only for that window:
// a run that ends at the check never needs it, and loading it with the
// program would take a good part of every start.
void register_progress_bar_class()
{
    using register_classes = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    HMODULE library = LoadLibraryA("comctl32.dll");
    if (library == nullptr)
        return;
    auto register_controls = reinterpret_cast<register_classes>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "InitCommonControlsEx")));
    if (register_controls == nullptr)
        return;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    register_controls(&controls);
}

void centre_on_screen(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2;
    SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

}  // namespace

std::int32_t ModelessDialog::handle_message(HWND, UINT message, WPARAM wparam, LPARAM)
{
    if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) {
        cancelled = true;
        return 1;
    }
    return 0;
}

bool ModelessDialog::pump_messages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return false;
        if (IsWindow(window) && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return true;
}

bool ModelessDialog::create(WORD template_id, HWND parent_window)
{
    if (template_id == IDD_UPDATE)
        register_progress_bar_class();
    window = CreateDialogParamA(module_instance, MAKEINTRESOURCEA(template_id), parent_window,
                                dialog_procedure, 0);
    parent = parent_window;
    picture = fit_side_picture(window, module_instance);
    centre_on_screen(window);
    UpdateWindow(window);
    ShowWindow(window, SW_SHOW);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (parent != nullptr)
        EnableWindow(parent, FALSE);
    return pump_messages();
}

void ModelessDialog::close()
{
    if (window != nullptr && IsWindow(window)) {
        DestroyWindow(window);
        window = nullptr;
    }
    if (picture != nullptr) {
        DeleteObject(picture);
        picture = nullptr;
    }
    if (parent != nullptr)
        EnableWindow(parent, TRUE);
}

std::int32_t UpdateDialog::handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return ModelessDialog::handle_message(window, message, wparam, lparam);
}

bool UpdateDialog::pump_messages()
{
    bool result = ModelessDialog::pump_messages();
    HWND bar = file_bar_of_window();
    if (file_under_way && bar != nullptr) {
        std::int32_t position = file_bar_position(file_held, file_most);
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
    return result;
}

void UpdateDialog::bytes_arrived(std::size_t held, std::size_t most)
{
    file_under_way = true;
    file_held = held;
    file_most = most;
}

void UpdateDialog::show_file_name(const std::string& name)
{
    SetWindowTextA(GetDlgItem(window, IDC_FILE_NAME), name.c_str());
}

HWND UpdateDialog::file_bar_of_window()
{
    if (file_bar_window != window) {
        file_bar_window = window;
        file_bar = GetDlgItem(window, IDC_FILE_BAR);
    }
    return file_bar;
}

std::int32_t file_bar_position(std::size_t received, std::size_t expected)
{
    if (expected == 0)
        return 0;
    return static_cast<std::int32_t>(static_cast<double>(received) * 100.0 /
                                     static_cast<double>(expected));
}
