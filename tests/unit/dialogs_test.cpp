// The progress dialogs, created from the real templates on the test display.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"
#include "update/download_item.h"

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

// The texts of the dialog's controls in template order; a picture control
// shows as the size of its bitmap.
std::vector<std::string> control_texts(HWND dialog)
{
    std::vector<std::string> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        auto picture =
            reinterpret_cast<HBITMAP>(SendMessageA(child, STM_GETIMAGE, IMAGE_BITMAP, 0));
        BITMAP bitmap = {};
        if (class_name(child) == "Static" && picture != nullptr &&
            GetObjectA(picture, sizeof(bitmap), &bitmap) != 0)
            texts.push_back(std::to_string(bitmap.bmWidth) + "x" + std::to_string(bitmap.bmHeight));
        else
            texts.push_back(window_text(child));
    }
    return texts;
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
                  "Cancel", "Sprawdzam czy s\xb9 dost\xeapne nowe aktualizacje", "164x314"}));
    check.close();

    UpdateDialog update;
    update.create(IDD_UPDATE, nullptr);
    ASSERT_NE(update.window, nullptr);
    EXPECT_EQ(control_texts(update.window),
              (std::vector<std::string>{"Cancel", "Pobieranie pliku", "", "Static", "164x314", "",
                                        "Post\xeap aktualizacji"}));
    EXPECT_EQ(class_name(GetDlgItem(update.window, IDC_FILE_BAR)), "msctls_progress32");
    EXPECT_EQ(class_name(GetDlgItem(update.window, IDC_OVERALL_BAR)), "msctls_progress32");
    EXPECT_EQ(class_name(GetDlgItem(update.window, IDC_FILE_NAME)), "Static");
    update.close();
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

TEST_F(Dialogs, PumpMovesTheFileBarFromTheCurrentItemOnly)
{
    UpdateDialog dialog;
    dialog.create(IDD_UPDATE, nullptr);
    HWND bar = GetDlgItem(dialog.window, IDC_FILE_BAR);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(bar, PBM_SETPOS, 7, 0);
    dialog.pump_messages();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 7);

    DownloadItem item;
    item.expected_size = 1024;
    item.body.assign(512, 'x');
    dialog.current_item = &item;
    dialog.pump_messages();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 50);
    dialog.current_item = nullptr;
    dialog.close();
}

// The pump keeps the file bar's handle between chunks; a new window of the
// same dialog object has a bar of its own.
TEST_F(Dialogs, PumpMovesTheFileBarOfTheWindowNowOpen)
{
    UpdateDialog dialog;
    DownloadItem item;
    item.expected_size = 1000;
    item.body.assign(250, 'x');
    dialog.current_item = &item;
    dialog.create(IDD_UPDATE, nullptr);
    dialog.close();
    EXPECT_TRUE(dialog.pump_messages());

    dialog.create(IDD_UPDATE, nullptr);
    HWND bar = GetDlgItem(dialog.window, IDC_FILE_BAR);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 25);
    item.body.resize(750);
    dialog.pump_messages();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 75);
    dialog.current_item = nullptr;
    dialog.close();
}

}  // namespace
