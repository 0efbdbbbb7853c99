#include "ui/side_picture.h"

#include <algorithm>
#include <cstring>

#include "ui/resource_ids.h"

namespace {

// One output pixel's share of the source along one axis.
struct Tap {
    int index;
    double weight;
};

// For each of count output pixels: the source pixels within a window of
// max(step, 1) source pixels centred on the output pixel's centre, weighted by
// how much of each the window covers, within the source's size.
std::vector<std::vector<Tap>> taps(double first, double step, int count, int source_size)
{
    double window = std::max(step, 1.0);
    std::vector<std::vector<Tap>> all(count);
    for (int i = 0; i < count; ++i) {
        double centre = first + (i + 0.5) * step;
        double low = std::max(centre - window / 2, 0.0);
        double high = std::min(centre + window / 2, static_cast<double>(source_size));
        double total = 0;
        for (int s = static_cast<int>(low); s < source_size && s < high; ++s) {
            double cover = std::min(high, s + 1.0) - std::max(low, static_cast<double>(s));
            if (cover > 0) {
                all[i].push_back({s, cover});
                total += cover;
            }
        }
        for (Tap& tap : all[i])
            tap.weight /= total;
    }
    return all;
}

}  // namespace

Picture fit_picture(const Picture& source, int width, int height)
{
    Picture fitted;
    if (source.width <= 0 || source.height <= 0 || width <= 0 || height <= 0)
        return fitted;
    // Source pixels per output pixel, the same both ways; the overhang is
    // split evenly between the two sides.
    double step = std::min(static_cast<double>(source.width) / width,
                           static_cast<double>(source.height) / height);
    // A source barely larger than the frame is cut, not scaled, so that it
    // stays pixel for pixel: shrinking by a pixel or two would blur it all.
    if (step >= 1 && step <= 1.02)
        step = 1;
    double left = (source.width - width * step) / 2;
    double top = (source.height - height * step) / 2;
    // Unscaled, the cut falls between pixels too.
    if (step == 1) {
        left = static_cast<int>(left);
        top = static_cast<int>(top);
    }
    auto columns = taps(left, step, width, source.width);
    auto rows = taps(top, step, height, source.height);

    // Across first, then down.
    std::vector<double> across(static_cast<std::size_t>(source.height) * width * 3);
    for (int y = 0; y < source.height; ++y)
        for (int x = 0; x < width; ++x)
            for (const Tap& tap : columns[x])
                for (int c = 0; c < 3; ++c)
                    across[(static_cast<std::size_t>(y) * width + x) * 3 + c] +=
                        tap.weight *
                        source.bgr[(static_cast<std::size_t>(y) * source.width + tap.index) * 3 + c];

    fitted.width = width;
    fitted.height = height;
    fitted.bgr.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                double value = 0;
                for (const Tap& tap : rows[y])
                    value +=
                        tap.weight * across[(static_cast<std::size_t>(tap.index) * width + x) * 3 + c];
                fitted.bgr[(static_cast<std::size_t>(y) * width + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::min(255.0, value + 0.5));
            }
    return fitted;
}

namespace {

// A bitmap resource as the resource compiler stores it: a 40-byte header,
// then 24-bit rows from the bottom, each padded to 4 bytes. Empty when the
// resource is missing or of another kind.
Picture load_picture(HINSTANCE instance, int id)
{
    Picture picture;
    HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(2));  // RT_BITMAP
    HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
    auto* data = loaded ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
    DWORD size = found ? SizeofResource(instance, found) : 0;
    BITMAPINFOHEADER header;
    if (data == nullptr || size < sizeof header)
        return picture;
    std::memcpy(&header, data, sizeof header);
    if (header.biSize != sizeof header || header.biBitCount != 24 ||
        header.biCompression != BI_RGB || header.biWidth <= 0 || header.biHeight <= 0)
        return picture;
    std::size_t stride = (static_cast<std::size_t>(header.biWidth) * 3 + 3) & ~std::size_t{3};
    if ((size - sizeof header) / stride < static_cast<std::size_t>(header.biHeight))
        return picture;
    picture.width = header.biWidth;
    picture.height = header.biHeight;
    picture.bgr.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(&picture.bgr[static_cast<std::size_t>(y) * picture.width * 3],
                    data + sizeof header + (picture.height - 1 - y) * stride,
                    static_cast<std::size_t>(picture.width) * 3);
    return picture;
}

HBITMAP make_bitmap(const Picture& picture)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;  // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr)
        return nullptr;
    std::size_t stride = (static_cast<std::size_t>(picture.width) * 3 + 3) & ~std::size_t{3};
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(static_cast<std::uint8_t*>(bits) + y * stride,
                    &picture.bgr[static_cast<std::size_t>(y) * picture.width * 3],
                    static_cast<std::size_t>(picture.width) * 3);
    return bitmap;
}

BOOL CALLBACK find_picture_control(HWND child, LPARAM found)
{
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
}

}  // namespace

HBITMAP fit_side_picture(HWND dialog, HINSTANCE instance)
{
    HWND control = nullptr;
    EnumChildWindows(dialog, find_picture_control, reinterpret_cast<LPARAM>(&control));
    if (control == nullptr)
        return nullptr;
    RECT frame = {PICTURE_X, PICTURE_Y, PICTURE_X + PICTURE_WIDTH, PICTURE_Y + PICTURE_HEIGHT};
    MapDialogRect(dialog, &frame);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;

    Picture source = load_picture(instance, IDB_UPDATER);
    if (source.width == width && source.height == height)
        return nullptr;
    if (width > source.width || height > source.height)
        source = load_picture(instance, IDB_UPDATER_2X);
    HBITMAP bitmap = make_bitmap(fit_picture(source, width, height));
    if (bitmap == nullptr)
        return nullptr;
    // The template's bitmap, handed back, is the program's to delete.
    auto previous = reinterpret_cast<HBITMAP>(
        SendMessageA(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
    if (previous != nullptr && previous != bitmap)
        DeleteObject(previous);
    SetWindowPos(control, nullptr, frame.left, frame.top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    return bitmap;
}
