// Modeless progress dialogs built from resource templates. They never run a
// message loop of their own: long-running work calls pump_messages after
// every chunk it handles.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The module instance handle the dialogs load their templates from; set once
// by the program entry.
extern HINSTANCE module_instance;

class ModelessDialog {
public:
    HWND window = nullptr;
    HWND parent = nullptr;
    bool cancelled = false;

    ModelessDialog() = default;
    ModelessDialog(const ModelessDialog&) = delete;
    ModelessDialog& operator=(const ModelessDialog&) = delete;

    // Nonzero: handled; zero: the dialog manager's default processing.
    virtual std::int32_t handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    // Destroys no window: the owner calls close first.
    virtual ~ModelessDialog() = default;
    // Drains the thread's queue without waiting; false when WM_QUIT was taken.
    virtual bool pump_messages();

    // Shows the dialog centred on the screen, its side picture fitted to
    // the dialog's scale, and pumps once.
    bool create(WORD template_id, HWND parent);
    void close();

private:
    // The side picture made for this window's scale, deleted with the window.
    HBITMAP picture = nullptr;
};

class CheckDialog : public ModelessDialog {
public:
    ~CheckDialog() override = default;
};

struct DownloadItem;
struct PatchOffer;

class UpdateDialog : public ModelessDialog {
public:
    // The file being fetched; the dialog only reads it.
    DownloadItem* current_item = nullptr;
    // The names download_updates staged, in the order of the update list;
    // the installation installs these and nothing else.
    std::vector<std::string> staged_names;

    std::int32_t handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;
    ~UpdateDialog() override = default;
    // The base pump, then the file bar moved from current_item.
    bool pump_messages() override;

    // hashes: each file's SHA-256 in lowercase hex, or empty for none;
    // patches: the patch each line offers, or none.
    bool download_updates(const std::vector<std::string>& urls,
                          const std::vector<std::int32_t>& sizes,
                          const std::vector<std::string>& hashes,
                          const std::vector<PatchOffer>& patches);

private:
    // The file bar of the window it was looked up in. The pump runs after
    // every chunk, and looking the bar up each time would cost a round trip
    // to the window system per chunk.
    HWND file_bar = nullptr;
    HWND file_bar_window = nullptr;

    HWND file_bar_of_window();
};

// Position of the file bar: received * 100 / expected, truncated toward zero
// and not clamped; 0 when expected is 0.
std::int32_t file_bar_position(std::size_t received, std::int32_t expected);
