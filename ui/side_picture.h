// The side picture of both progress dialogs, fitted to its frame at the
// scale the dialog is shown at.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

// Pixels in rows from the top, 3 bytes (blue, green, red) each, no padding.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgr;
};

// The source scaled to exactly width x height, keeping its proportions: it
// covers the whole frame, and what overhangs it (centred) is cut off. Each
// pixel is the area average of the source under it, widened to at least one
// source pixel, so that shrinking averages and enlarging interpolates. A
// source at most 2 % larger than the frame is only cut.
// Empty when either picture is.
Picture fit_picture(const Picture& source, int width, int height);

// Gives the dialog's picture control (the SS_BITMAP static) the size of its
// frame in the template at the dialog's scale, and a picture drawn for it:
// bitmap 103 itself where it has that size, otherwise bitmap 103 or, for
// frames larger than it, the double-size bitmap 105, fitted. Returns the
// bitmap it set, which the caller deletes once the window is destroyed, or
// null when the template's own bitmap was kept.
HBITMAP fit_side_picture(HWND dialog, HINSTANCE instance);
