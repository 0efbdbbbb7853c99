"""End-to-end tests of the windows at 100 %, 150 % and 200 % scaling (96, 144
and 192 DPI): one whole update at each, the check window, the question, the
download window and the closing message photographed and measured as a
person would see them.

The module has a Wine prefix of its own (E2E_SCALING_WINEPREFIX), whose
LogPixels it changes between runs, and keeps its screenshots (PNG) in
E2E_SCALING_SHOTS_DIR/<dpi>/.
"""

import os
import shutil
import struct
import subprocess

from kit.cases import E2ETestCase
from kit.paths import setting, work_root
from kit.protocol import Reply, check_path, file_url, update_list
from kit.run import run_updater
from kit.wine import prepare_prefix, set_screen_dpi


DPIS = (96, 144, 192)
FILE = b"x" * 3072
# Dialog units of the controls the templates fix: the Cancel button and the
# side picture's frame.
CANCEL_UNITS = (50, 14)
PICTURE_UNITS = (109, 193)


def shots_root():
    return setting("E2E_SCALING_SHOTS_DIR", "scaling-shots")


def read_bmp(path):
    """(width, height, pixel(x, y) -> (r, g, b)) of a 24-bit bottom-up BMP."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 24 and height > 0, path
    stride = (width * 3 + 3) & ~3

    def pixel(x, y):
        i = offset + (height - 1 - y) * stride + 3 * x
        return data[i + 2], data[i + 1], data[i]
    return width, height, pixel


def size(rect):
    return rect[2] - rect[0], rect[3] - rect[1]


class Scaling(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.saved_prefix = os.environ.get("E2E_WINEPREFIX")
        prefix = setting("E2E_SCALING_WINEPREFIX", "wine-scaling")
        prepare_prefix(prefix)  # the harness's runs now use it
        cls.runs = {}
        for dpi in DPIS:
            set_screen_dpi(dpi)
            cls.runs[dpi] = cls.update_at(dpi)

    @classmethod
    def tearDownClass(cls):
        # The runs stay in the work folder (scaling-<dpi>) for a look.
        if cls.saved_prefix is None:
            os.environ.pop("E2E_WINEPREFIX", None)
        else:
            os.environ["E2E_WINEPREFIX"] = cls.saved_prefix

    @classmethod
    def update_at(cls, dpi):
        """A whole update with every window long enough on screen to be
        photographed alone and measured; the screenshots go to the shots
        folder as PNG."""
        routes = {
            # The check window stays alone on screen for a second.
            check_path(7): Reply(body=update_list([(file_url("a.txt"), len(FILE))]), delay=1.0),
            "/files/a.txt": Reply(body=FILE, piece_size=1024, pause=0.7),
        }
        steps = ["measure check", "wait-shown message", "measure message", "answer YES",
                 "wait-shown download", "measure download", "auto-answer"]
        run_dir = os.path.join(work_root(), "scaling-%d" % dpi)
        result = run_updater({"wersja.txt": b"7"}, routes=routes, steps=steps,
                                     keep_dir=run_dir)
        folder = os.path.join(shots_root(), str(dpi))
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for bmp in result.shots().values():
            png = os.path.join(folder, os.path.splitext(os.path.basename(bmp))[0] + ".png")
            subprocess.run(["convert", bmp, png], timeout=60, check=False)
        return result

    def window(self, dpi, kind):
        result = self.runs[dpi]
        windows = result.windows_of(kind)
        self.assertTrue(windows, "no %s window at %d dpi\n%s" % (kind, dpi, result.describe()))
        return windows[0]

    def measured(self, dpi, kind):
        found = [e for e in self.runs[dpi].events if e["ev"] == "measured" and e["kind"] == kind]
        self.assertTrue(found, "%s window not measured at %d dpi" % (kind, dpi))
        return found[0]

    def test_every_run_is_a_whole_update(self):
        for dpi, result in self.runs.items():
            with self.subTest(dpi=dpi):
                self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
                self.assertEqual(result.step_errors, [], result.describe())
                self.assertEqual([w.kind for w in result.windows],
                                 ["check", "message", "download", "message"], result.describe())
                self.assertEqual(result.files_after.get("a.txt"), FILE)

    def test_every_text_is_shown_whole(self):
        """Each text of both windows and of the message boxes, laid out as its
        control lays it out, needs no more room than the control has."""
        for dpi in DPIS:
            for kind in ("check", "download", "message"):
                measured = self.measured(dpi, kind)
                self.assertTrue(measured["texts"])
                for text in measured["texts"]:
                    with self.subTest(dpi=dpi, kind=kind, text=text["text"]):
                        (room_w, room_h), (need_w, need_h) = text["client"], text["needed"]
                        self.assertLessEqual(need_w, room_w, text)
                        # A message box sizes its text's control to the text
                        # in its own layout, which wraps a few pixels later
                        # than the font made again here; its width is checked.
                        if kind != "message":
                            self.assertLessEqual(need_h, room_h, text)
        check = [t["text"] for t in self.measured(96, "check")["texts"]]
        self.assertIn("Sprawdzam czy są dostępne nowe aktualizacje", check)
        download = [t["text"] for t in self.measured(96, "download")["texts"]]
        self.assertEqual(sorted(download), ["Cancel", "Pobieranie pliku", "Postęp aktualizacji", "a.txt"])

    def test_fonts_windows_and_controls_grow_with_the_dpi(self):
        for kind in ("check", "download"):
            base = self.window(96, kind)
            base_line = self.measured(96, kind)["line_height"]
            for dpi in DPIS[1:]:
                with self.subTest(kind=kind, dpi=dpi):
                    w = self.window(dpi, kind)
                    factor = dpi / 96
                    self.assertAlmostEqual(self.measured(dpi, kind)["line_height"] / base_line,
                                           factor, delta=0.15 * factor)
                    for rect, base_rect in [(w.rect, base.rect)] + [
                            (w.control(c["id"])["rect"], c["rect"]) for c in base.controls
                            if c["id"] in (2, 1001, 1002, 1003)]:
                        for now, then in zip(size(rect), size(base_rect)):
                            self.assertAlmostEqual(now / then, factor, delta=0.12 * factor)

    def picture(self, w):
        """The side picture's control: the largest static."""
        statics = [c for c in w.controls if c["class"].lower() == "static"]
        return max(statics, key=lambda c: size(c["rect"])[0] * size(c["rect"])[1])

    def test_the_picture_fills_its_frame(self):
        """The picture control has its frame's size (109 x 193 dialog units,
        measured by the Cancel button's 50 x 14), and the screenshot shows the
        picture to its edges and the dialog's face beyond them."""
        for dpi in DPIS:
            for kind in ("check", "download"):
                with self.subTest(dpi=dpi, kind=kind):
                    w = self.window(dpi, kind)
                    cancel_w, cancel_h = size(w.control(2)["rect"])
                    unit_x, unit_y = cancel_w / CANCEL_UNITS[0], cancel_h / CANCEL_UNITS[1]
                    picture = self.picture(w)["rect"]
                    width, height = size(picture)
                    # The button's pixels are rounded, so the units read from
                    # it are off by up to half a pixel in its size.
                    slack_x = 1 + PICTURE_UNITS[0] / CANCEL_UNITS[0] * 0.5
                    slack_y = 1 + PICTURE_UNITS[1] / CANCEL_UNITS[1] * 0.5
                    self.assertAlmostEqual(width, PICTURE_UNITS[0] * unit_x, delta=slack_x)
                    self.assertAlmostEqual(height, PICTURE_UNITS[1] * unit_y, delta=slack_y)
                    self.assert_picture_fills(self.runs[dpi].shots()[w.win], w.rect, picture)

    def assert_picture_fills(self, shot, window_rect, picture):
        _, _, pixel = read_bmp(shot)
        left, top = picture[0] - window_rect[0], picture[1] - window_rect[1]
        right, bottom = picture[2] - window_rect[0] - 1, picture[3] - window_rect[1] - 1

        def blue(p):
            return p[2] > p[0] + 60

        for x, y in [(left, top), (right, top), (left, bottom), (right, bottom),
                     ((left + right) // 2, bottom)]:
            self.assertTrue(blue(pixel(x, y)), "picture missing at %d,%d: %s" % (x, y, pixel(x, y)))
        for x, y in [(right + 2, (top + bottom) // 2), ((left + right) // 2, bottom + 2)]:
            self.assertFalse(blue(pixel(x, y)), "picture overflows at %d,%d" % (x, y))
