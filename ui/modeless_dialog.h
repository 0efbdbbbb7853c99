// Modeless progress dialogs built from resource templates. They never run a
// message loop of their own: a transfer they watch (net/progress_sink.h)
// calls pump_messages after every chunk it reads.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/progress_sink.h"
#include "update/publisher_pins.h"

// The module instance handle the dialogs load their templates from; set once
// by the program entry.
extern HINSTANCE module_instance;

class ModelessDialog : public ProgressSink {
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
    bool pump_messages() override;
    // The base dialog shows no progress.
    void bytes_arrived(std::size_t, std::size_t) override {}
    bool is_cancelled() const override { return cancelled; }

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

struct OfferedFile;
struct DownloadResult;

class UpdateDialog : public ModelessDialog {
public:
    std::int32_t handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;
    ~UpdateDialog() override = default;
    // The base pump, then the file bar moved to what the last read brought;
    // the bar is left alone until the first bytes of a file arrive.
    bool pump_messages() override;
    void bytes_arrived(std::size_t held, std::size_t most) override;

    // The name above the file bar.
    void show_file_name(const std::string& name);

    // The download phase, defined with the rest of it in update/download.cpp:
    // stages every offered file (update/offered_file.h), in the order of the
    // update list, under this window (update/download_result.h); a program
    // or library among them only when pins vouch for its publisher
    // (update/publisher_check.h).
    DownloadResult download_updates(const std::vector<OfferedFile>& files,
                                    const std::vector<PublisherPin>& pins);

private:
    // What the last read reported, once a file's bytes have begun to arrive.
    bool file_under_way = false;
    std::size_t file_held = 0;
    std::size_t file_most = 0;
    // The file bar of the window it was looked up in. The pump runs after
    // every chunk, and looking the bar up each time would cost a round trip
    // to the window system per chunk.
    HWND file_bar = nullptr;
    HWND file_bar_window = nullptr;

    HWND file_bar_of_window();
};

// Position of the file bar: received * 100 / expected, truncated toward zero
// and not clamped; 0 when expected is 0.
std::int32_t file_bar_position(std::size_t received, std::size_t expected);
