// The progress dialogs, created from the real templates on the test display.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"

namespace {

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override { module_instance = GetModuleHandleA(nullptr); }
};

std::string window_text(HWND window)
{
    char text[256] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

std::string class_name(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

HWND picture_control(HWND dialog)
{
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
            return child;
    return nullptr;
}

// The size of the bitmap a picture control shows, as "WxH"; empty for none.
std::string picture_size(HWND control)
{
    auto picture = reinterpret_cast<HBITMAP>(SendMessageA(control, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP bitmap = {};
    if (picture == nullptr || GetObjectA(picture, sizeof(bitmap), &bitmap) == 0)
        return "";
    return std::to_string(bitmap.bmWidth) + "x" + std::to_string(bitmap.bmHeight);
}

// The texts of the dialog's controls in template order; the picture control
// shows as "picture" when it has a bitmap.
std::vector<std::string> control_texts(HWND dialog)
{
    std::vector<std::string> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        texts.push_back(child == picture_control(dialog) && !picture_size(child).empty()
                            ? "picture"
                            : window_text(child));
    return texts;
}

// The control's rectangle in its dialog's client coordinates.
RECT rect_in_dialog(HWND control)
{
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

TEST_F(Dialogs, TemplatesShowTheirControlsAndTexts)
{
    CheckDialog check;
    check.create(IDD_CHECK, nullptr);
    ASSERT_NE(check.window, nullptr);
    EXPECT_TRUE(IsWindowVisible(check.window));
    EXPECT_EQ(window_text(check.window), "Aktualizacja");
    EXPECT_EQ(control_texts(check.window),
              (std::vector<std::string>{
                  "Cancel", "Sprawdzam czy s\xb9 dost\xeapne nowe aktualizacje", "picture"}));
    check.close();

    UpdateDialog update;
    update.create(IDD_UPDATE, nullptr);
    ASSERT_NE(update.window, nullptr);
    EXPECT_EQ(control_texts(update.window),
              (std::vector<std::string>{"Cancel", "Pobieranie pliku", "", "Static", "picture", "",
                                        "Post\xeap aktualizacji"}));
    EXPECT_EQ(class_name(GetDlgItem(update.window, IDC_FILE_BAR)), "msctls_progress32");
    EXPECT_EQ(class_name(GetDlgItem(update.window, IDC_OVERALL_BAR)), "msctls_progress32");
    EXPECT_EQ(class_name(GetDlgItem(update.window, IDC_FILE_NAME)), "Static");
    update.close();
}

// The picture fills the frame the templates give it (7, 7, 109 x 193 dialog
// units) at the scale the dialog is shown at, whatever that frame's size in
// pixels, and does so again in a second window of the same object.
TEST_F(Dialogs, SidePictureFillsItsFrame)
{
    UpdateDialog dialog;
    for (int round = 0; round < 2; ++round) {
        for (WORD id : {WORD(IDD_CHECK), WORD(IDD_UPDATE)}) {
            dialog.create(id, nullptr);
            RECT frame = {7, 7, 7 + 109, 7 + 193};
            MapDialogRect(dialog.window, &frame);
            HWND picture = picture_control(dialog.window);
            ASSERT_NE(picture, nullptr);
            RECT shown = rect_in_dialog(picture);
            EXPECT_TRUE(EqualRect(&shown, &frame))
                << shown.left << "," << shown.top << "," << shown.right << "," << shown.bottom;
            EXPECT_EQ(picture_size(picture), std::to_string(frame.right - frame.left) + "x" +
                                                 std::to_string(frame.bottom - frame.top));
            dialog.close();
        }
    }
}

// The manifest (embedded with the dialogs' resources) declares the program
// system DPI aware, read through the platform's own manifest reader: both
// settings, dpiAware for Windows Vista to 10 1511 and dpiAwareness for
// later ones. (Wine treats every program as DPI aware whatever its manifest
// says, so asking the process would prove nothing.)
std::wstring manifest_setting(const wchar_t* name_space, const wchar_t* name)
{
    wchar_t value[64] = {};
    SIZE_T length = 0;
    if (!QueryActCtxSettingsW(0, nullptr, name_space, name, value, 64, &length))
        return L"(none)";
    return value;
}

TEST(Manifest, DeclaresTheProgramSystemDpiAware)
{
    EXPECT_EQ(manifest_setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
              L"true");
    EXPECT_EQ(manifest_setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings",
                               L"dpiAwareness"),
              L"system");
}

// Icon group 104 holds an image of each size Windows asks for from 100 % to
// 200 % scaling, so none is scaled from another.
TEST(Icon, GroupHoldsEverySizeOfTheScalings)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HRSRC group = FindResourceA(instance, MAKEINTRESOURCEA(IDI_UPDATER), MAKEINTRESOURCEA(14));
    ASSERT_NE(group, nullptr);
    auto* directory = static_cast<BYTE*>(LockResource(LoadResource(instance, group)));
    for (int size : {16, 20, 24, 32, 40, 48, 64, 256}) {
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        HRSRC image = FindResourceA(instance, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));
        ASSERT_NE(image, nullptr) << size;
        HICON icon = CreateIconFromResourceEx(
            static_cast<BYTE*>(LockResource(LoadResource(instance, image))),
            SizeofResource(instance, image), TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP colour = {};
        GetObjectA(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(colour.bmWidth, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

TEST_F(Dialogs, CreateCentresTheWindowOnTheScreen)
{
    CheckDialog dialog;
    dialog.create(IDD_CHECK, nullptr);
    RECT rect;
    GetWindowRect(dialog.window, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
    dialog.close();
}

TEST_F(Dialogs, CancelEscAndCloseBoxSetCancelledAndLeaveTheWindowOpen)
{
    CheckDialog button;
    button.create(IDD_CHECK, nullptr);
    SendMessageA(button.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(button.window, IDCANCEL)));
    EXPECT_TRUE(button.cancelled);
    EXPECT_TRUE(IsWindow(button.window));
    button.close();

    UpdateDialog escape;
    escape.create(IDD_UPDATE, nullptr);
    PostMessageA(GetDlgItem(escape.window, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0);
    escape.pump_messages();
    EXPECT_TRUE(escape.cancelled);
    EXPECT_TRUE(IsWindow(escape.window));
    escape.close();

    CheckDialog close_box;
    close_box.create(IDD_CHECK, nullptr);
    // The dialog manager posts the close box's IDCANCEL, so the pump delivers it.
    SendMessageA(close_box.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    close_box.pump_messages();
    EXPECT_TRUE(close_box.cancelled);
    EXPECT_TRUE(IsWindow(close_box.window));
    close_box.close();
    EXPECT_EQ(close_box.window, nullptr);
}

TEST_F(Dialogs, OtherCommandsAreLeftToTheDialogManager)
{
    UpdateDialog dialog;
    dialog.create(IDD_UPDATE, nullptr);
    for (WORD id : {WORD(IDOK), WORD(IDC_FILE_BAR), WORD(IDC_FILE_NAME), WORD(0xFFFF)})
        EXPECT_EQ(dialog.handle_message(dialog.window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0),
                  0);
    EXPECT_EQ(dialog.handle_message(dialog.window, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(dialog.cancelled);
    EXPECT_EQ(dialog.handle_message(dialog.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0), 1);
    EXPECT_TRUE(dialog.cancelled);
    dialog.close();
}

TEST_F(Dialogs, QuitMessageEndsThePumpAndIsConsumed)
{
    CheckDialog dialog;
    dialog.create(IDD_CHECK, nullptr);
    PostQuitMessage(0);
    EXPECT_FALSE(dialog.pump_messages());
    EXPECT_TRUE(dialog.pump_messages());
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    dialog.close();
}

TEST_F(Dialogs, CloseIsHarmlessTwiceOrWithoutCreateAndReenablesTheParent)
{
    CheckDialog never_created;
    never_created.close();
    EXPECT_EQ(never_created.window, nullptr);

    CheckDialog owner;
    owner.create(IDD_CHECK, nullptr);
    UpdateDialog owned;
    owned.create(IDD_UPDATE, owner.window);
    EXPECT_FALSE(IsWindowEnabled(owner.window));
    owned.close();
    owned.close();
    EXPECT_TRUE(IsWindowEnabled(owner.window));
    owner.close();
}

TEST(FileBar, PositionIsTruncatedAndNotClamped)
{
    struct Case {
        std::size_t received;
        std::int32_t expected;
        std::int32_t position;
    };
    for (Case c : {Case{512, 1024, 50}, Case{1023, 1024, 99}, Case{1024, 1024, 100},
                   Case{30000000, 60000000, 50}, Case{0, 0, 0}, Case{4096, 0, 0},
                   Case{1025, 1024, 100}, Case{2048, 1024, 200}, Case{0, 1024, 0}})
        EXPECT_EQ(file_bar_position(c.received, c.expected), c.position)
            << c.received << "/" << c.expected;
}

TEST_F(Dialogs, PumpMovesTheFileBarOnlyOnceBytesOfAFileArrived)
{
    UpdateDialog dialog;
    dialog.create(IDD_UPDATE, nullptr);
    HWND bar = GetDlgItem(dialog.window, IDC_FILE_BAR);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(bar, PBM_SETPOS, 7, 0);
    dialog.pump_messages();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 7);

    dialog.bytes_arrived(512, 1024);
    dialog.pump_messages();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 50);
    dialog.close();
}

// The pump keeps the file bar's handle between chunks; a new window of the
// same dialog object has a bar of its own.
TEST_F(Dialogs, PumpMovesTheFileBarOfTheWindowNowOpen)
{
    UpdateDialog dialog;
    dialog.bytes_arrived(250, 1000);
    dialog.create(IDD_UPDATE, nullptr);
    dialog.close();
    EXPECT_TRUE(dialog.pump_messages());

    dialog.create(IDD_UPDATE, nullptr);
    HWND bar = GetDlgItem(dialog.window, IDC_FILE_BAR);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 25);
    dialog.bytes_arrived(750, 1000);
    dialog.pump_messages();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 75);
    dialog.close();
}

}  // namespace
