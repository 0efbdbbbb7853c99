#!/usr/bin/env python3
"""Draws the dialogs' side picture (updater.bmp, and updater_2x.bmp at twice
the size for screens scaled above 100 %) and the program icon (updater.ico,
in the sizes Windows asks for at 100 % to 200 % scaling and in Explorer's
large views).

All are drawn from a few flat shapes with 4 x 4 supersampling and written
byte for byte the same on every run, so the committed files can be rebuilt.
Run it from anywhere: the files are written next to this script.
"""
import math
import os
import struct
import zlib

SAMPLES = 4


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(lerp(a, b, t) for a, b in zip(c1, c2))


class Polygon:
    def __init__(self, points):
        self.points = points
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self.box = (min(xs), min(ys), max(xs), max(ys))

    def contains(self, x, y):
        inside = False
        pts = self.points
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                inside = not inside
            j = i
        return inside


class Capsule:
    """A line segment drawn with round ends: all points within radius of it."""

    def __init__(self, a, b, radius):
        self.a, self.b, self.r = a, b, radius
        self.box = (min(a[0], b[0]) - radius, min(a[1], b[1]) - radius,
                    max(a[0], b[0]) + radius, max(a[1], b[1]) + radius)

    def contains(self, x, y):
        (ax, ay), (bx, by) = self.a, self.b
        dx, dy = bx - ax, by - ay
        t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
        t = min(1.0, max(0.0, t))
        px, py = ax + t * dx - x, ay + t * dy - y
        return px * px + py * py <= self.r * self.r


class Arc:
    """Part of a ring between two angles (radians, y axis pointing down)."""

    def __init__(self, centre, radius, width, start, end):
        self.c, self.r, self.w = centre, radius, width
        self.start, self.end = start, end
        outer = radius + width / 2
        self.box = (centre[0] - outer, centre[1] - outer, centre[0] + outer, centre[1] + outer)

    def contains(self, x, y):
        dx, dy = x - self.c[0], y - self.c[1]
        if abs(math.hypot(dx, dy) - self.r) > self.w / 2:
            return False
        angle = (math.atan2(dy, dx) - self.start) % (2 * math.pi)
        return angle <= (self.end - self.start) % (2 * math.pi)


class RoundedRect:
    def __init__(self, left, top, right, bottom, radius):
        self.box = (left, top, right, bottom)
        self.r = radius

    def contains(self, x, y):
        left, top, right, bottom = self.box
        if not (left <= x <= right and top <= y <= bottom):
            return False
        cx = min(max(x, left + self.r), right - self.r)
        cy = min(max(y, top + self.r), bottom - self.r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= self.r * self.r


def arc_arrow_head(centre, radius, width, angle, clockwise):
    """Triangle at the end of an arc, pointing along the direction of travel."""
    px = centre[0] + radius * math.cos(angle)
    py = centre[1] + radius * math.sin(angle)
    nx, ny = math.cos(angle), math.sin(angle)
    tx, ty = (-ny, nx) if clockwise else (ny, -nx)
    half = width * 1.25
    length = width * 1.7
    return Polygon([(px + nx * half, py + ny * half),
                    (px - nx * half, py - ny * half),
                    (px + tx * length, py + ty * length)])


def down_arrow(cx, shaft_top, shaft_half, head_top, head_half, tip):
    return Polygon([(cx - shaft_half, shaft_top), (cx + shaft_half, shaft_top),
                    (cx + shaft_half, head_top), (cx + head_half, head_top),
                    (cx, tip),
                    (cx - head_half, head_top), (cx - shaft_half, head_top)])


def tray(left, right, top, bottom, radius):
    """An open box seen from the front: two walls and a floor."""
    return [Capsule((left, top), (left, bottom), radius),
            Capsule((left, bottom), (right, bottom), radius),
            Capsule((right, bottom), (right, top), radius)]


class Canvas:
    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill(x + 0.5, y + 0.5) for x in range(width)] for y in range(height)]

    def coverage(self, shapes, x, y):
        hits = 0
        for sy in range(SAMPLES):
            for sx in range(SAMPLES):
                px = x + (sx + 0.5) / SAMPLES
                py = y + (sy + 0.5) / SAMPLES
                if any(s.contains(px, py) for s in shapes):
                    hits += 1
        return hits / (SAMPLES * SAMPLES)

    def draw(self, shapes, colour, opacity=1.0):
        left = max(0, int(min(s.box[0] for s in shapes)) - 1)
        top = max(0, int(min(s.box[1] for s in shapes)) - 1)
        right = min(self.width, int(max(s.box[2] for s in shapes)) + 2)
        bottom = min(self.height, int(max(s.box[3] for s in shapes)) + 2)
        for y in range(top, bottom):
            row = self.pixels[y]
            for x in range(left, right):
                cover = self.coverage(shapes, x, y)
                if cover:
                    row[x] = mix(row[x], colour, cover * opacity)

    def glow(self, centre, radius, colour, opacity):
        for y in range(self.height):
            row = self.pixels[y]
            for x in range(self.width):
                d = math.hypot(x + 0.5 - centre[0], y + 0.5 - centre[1]) / radius
                if d < 1:
                    row[x] = mix(row[x], colour, opacity * (1 - d) ** 2)

    def bgr_rows_bottom_up(self):
        for row in reversed(self.pixels):
            yield b"".join(bytes(round(min(255, max(0, c))) for c in reversed(p)) for p in row)


WHITE = (255, 255, 255)
SKY = (88, 158, 222)
DEEP = (22, 72, 142)


def panel(scale=1):
    """The tall picture on the left of both dialogs: 164 x 314 pixels times
    scale, every shape drawn at that size (not enlarged afterwards)."""
    width, height = 164 * scale, 314 * scale
    canvas = Canvas(width, height, lambda x, y: mix(SKY, DEEP, y / height))
    cx, cy = width / 2, 150 * scale

    canvas.glow((cx, cy), 110 * scale, WHITE, 0.16)

    ring, ring_width = 66 * scale, 7 * scale
    canvas.draw([Arc((cx, cy), ring, ring_width, math.radians(200), math.radians(330)),
                 arc_arrow_head((cx, cy), ring, ring_width, math.radians(330), True),
                 Arc((cx, cy), ring, ring_width, math.radians(20), math.radians(150)),
                 arc_arrow_head((cx, cy), ring, ring_width, math.radians(150), True)],
                WHITE, 0.22)

    s = scale
    canvas.draw([down_arrow(cx, 108 * s, 9 * s, 140 * s, 23 * s, 168 * s)], WHITE)
    canvas.draw(tray(cx - 36 * s, cx + 36 * s, 158 * s, 188 * s, 5 * s), WHITE)

    bar_top, bar_left, bar_right = 262 * s, 30 * s, width - 30 * s
    canvas.draw([RoundedRect(bar_left, bar_top, bar_right, bar_top + 10 * s, 5 * s)], WHITE, 0.22)
    canvas.draw([RoundedRect(bar_left + 2 * s, bar_top + 2 * s, lerp(bar_left, bar_right, 0.62),
                             bar_top + 8 * s, 3 * s)], WHITE, 0.9)
    return canvas


# Small icons at 100 % to 250 % scaling (16 to 40), large ones (32 to 64),
# and Explorer's biggest views (256, stored as PNG as Windows Vista and later
# read it).
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)


def icon(size):
    """The panel's arrow and tray on a rounded blue square, drawn at size
    pixels from the shapes of the 32-pixel icon."""
    k = size / 32
    canvas = Canvas(size, size, lambda x, y: mix(SKY, DEEP, y / size))
    canvas.draw([down_arrow(16 * k, 4 * k, 3 * k, 13 * k, 8.5 * k, 23 * k)], WHITE)
    canvas.draw(tray(6 * k, 26 * k, 18 * k, 27 * k, 1.6 * k), WHITE)
    outline = RoundedRect(0, 0, size, size, 5 * k)
    # How much of each pixel lies inside the rounded square.
    alpha = [[canvas.coverage([outline], x, y) for x in range(size)] for y in range(size)]
    return canvas, alpha


def bmp_info_header(width, height, image_size):
    # 3780 pixels per metre is 96 dpi.
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, image_size, 3780, 3780, 0, 0)


def write_bmp(path, canvas):
    data = b"".join(canvas.bgr_rows_bottom_up())
    header_size = 14 + 40
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", header_size + len(data), 0, 0, header_size))
        f.write(bmp_info_header(canvas.width, canvas.height, len(data)))
        f.write(data)


def bmp_icon_image(canvas, alpha):
    """A 24-bit icon image: colour rows, then the transparency mask. 24-bit
    images have no alpha channel, so the rounded corners are cut out through
    the mask."""
    size = canvas.width
    mask = [[a < 0.5 for a in row] for row in alpha]
    colour_rows = list(canvas.bgr_rows_bottom_up())
    for y, row in enumerate(reversed(mask)):
        for x, transparent in enumerate(row):
            if transparent:
                # Black under a set mask bit leaves the background untouched.
                colour_rows[y] = colour_rows[y][:3 * x] + b"\0\0\0" + colour_rows[y][3 * x + 3:]
    row_bytes = (size + 31) // 32 * 4
    mask_rows = []
    for row in reversed(mask):
        bits = 0
        for transparent in row:
            bits = (bits << 1) | transparent
        mask_rows.append((bits << (row_bytes * 8 - size)).to_bytes(row_bytes, "big"))
    image = b"".join(colour_rows) + b"".join(mask_rows)
    # The icon's header counts the colour image and the mask: twice the height.
    return bmp_info_header(size, 2 * size, len(image)) + image


def png_icon_image(canvas, alpha):
    """An RGBA PNG of the canvas, its alpha the rounded square's coverage."""
    size = canvas.width
    raw = b"".join(b"\0" + b"".join(bytes(round(min(255, max(0, c))) for c in p) +
                                     bytes([round(255 * a)]) for p, a in zip(row, alpha_row))
                   for row, alpha_row in zip(canvas.pixels, alpha))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_ico(path, images):
    """images: (size, image bytes) pairs, smallest first."""
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        # A size of 256 is written as 0; PNG images keep the directory's 24 bits.
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 24, len(image), offset)
        offset += len(image)
        data += image
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)))
        f.write(entries)
        f.write(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_bmp(os.path.join(here, "updater.bmp"), panel())
    write_bmp(os.path.join(here, "updater_2x.bmp"), panel(2))
    images = []
    for size in ICON_SIZES:
        canvas, alpha = icon(size)
        images.append((size, png_icon_image(canvas, alpha) if size == 256 else bmp_icon_image(canvas, alpha)))
    write_ico(os.path.join(here, "updater.ico"), images)


if __name__ == "__main__":
    main()
