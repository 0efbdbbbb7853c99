#!/usr/bin/env python3
"""Draws the dialogs' side picture (updater.bmp) and the program icon (updater.ico).

Both are drawn from a few flat shapes with 4 x 4 supersampling and written
byte for byte the same on every run, so the committed files can be rebuilt.
Run it from anywhere: the files are written next to this script.
"""
import math
import os
import struct

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


def panel():
    """The tall picture on the left of both dialogs."""
    width, height = 164, 314
    canvas = Canvas(width, height, lambda x, y: mix(SKY, DEEP, y / height))
    cx, cy = width / 2, 150

    canvas.glow((cx, cy), 110, WHITE, 0.16)

    ring, ring_width = 66, 7
    canvas.draw([Arc((cx, cy), ring, ring_width, math.radians(200), math.radians(330)),
                 arc_arrow_head((cx, cy), ring, ring_width, math.radians(330), True),
                 Arc((cx, cy), ring, ring_width, math.radians(20), math.radians(150)),
                 arc_arrow_head((cx, cy), ring, ring_width, math.radians(150), True)],
                WHITE, 0.22)

    canvas.draw([down_arrow(cx, 108, 9, 140, 23, 168)], WHITE)
    canvas.draw(tray(cx - 36, cx + 36, 158, 188, 5), WHITE)

    bar_top, bar_left, bar_right = 262, 30, width - 30
    canvas.draw([RoundedRect(bar_left, bar_top, bar_right, bar_top + 10, 5)], WHITE, 0.22)
    canvas.draw([RoundedRect(bar_left + 2, bar_top + 2, lerp(bar_left, bar_right, 0.62), bar_top + 8, 3)],
                WHITE, 0.9)
    return canvas


def icon():
    """32 x 32: the panel's arrow and tray on a rounded blue square."""
    size = 32
    canvas = Canvas(size, size, lambda x, y: mix(SKY, DEEP, y / size))
    canvas.draw([down_arrow(16, 4, 3, 13, 8.5, 23)], WHITE)
    canvas.draw(tray(6, 26, 18, 27, 1.6), WHITE)
    # 24-bit icons have no alpha channel: the rounded corners are cut out
    # through the transparency mask.
    outline = RoundedRect(0, 0, size, size, 5)
    mask = [[canvas.coverage([outline], x, y) < 0.5 for x in range(size)] for y in range(size)]
    return canvas, mask


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


def write_ico(path, canvas, mask):
    size = canvas.width
    colour_rows = list(canvas.bgr_rows_bottom_up())
    for y, row in enumerate(reversed(mask)):
        for x, transparent in enumerate(row):
            if transparent:
                # Black under a set mask bit leaves the background untouched.
                colour_rows[y] = colour_rows[y][:3 * x] + b"\0\0\0" + colour_rows[y][3 * x + 3:]
    mask_rows = []
    for row in reversed(mask):
        bits = 0
        for transparent in row:
            bits = (bits << 1) | transparent
        mask_rows.append(bits.to_bytes(4, "big"))
    image = b"".join(colour_rows) + b"".join(mask_rows)
    # The icon's header counts the colour image and the mask: twice the height.
    entry = bmp_info_header(size, 2 * size, len(image)) + image
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1))
        f.write(struct.pack("<BBBBHHII", size, size, 0, 0, 1, 24, len(entry), 6 + 16))
        f.write(entry)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_bmp(os.path.join(here, "updater.bmp"), panel())
    write_ico(os.path.join(here, "updater.ico"), *icon())


if __name__ == "__main__":
    main()
