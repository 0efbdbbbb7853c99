"""Base test cases: each run cleaned up after the test, kept when it fails;
and the cases of the download and the installation, with the offers and
the checks they share."""

import os
import sys
import unittest

from kit.paths import failures_root
from kit.protocol import (CAPTION, DOWNLOAD_FAILED, INSTALL_FAILED, INSTALLED, MB_OK, MB_TOPMOST, QUESTION, Reply,
                          check_path, file_url, update_list)
from kit.run import run_updater


class E2ETestCase(unittest.TestCase):
    """A test case whose runs are cleaned up afterwards; when the test fails,
    each run's records, logs and screenshots (PNG) are kept under
    <build>/e2e-failures/<test id>/run<N>/ and its account is printed."""

    def run_updater(self, files=None, **options):
        result = run_updater(files, **options)
        self._runs.append(result)
        return result

    def run(self, result=None):
        self._runs = []
        if result is None:
            return super().run(result)
        problems_before = len(result.failures) + len(result.errors)
        try:
            return super().run(result)
        finally:
            failed = len(result.failures) + len(result.errors) > problems_before
            for number, run in enumerate(self._runs, 1):
                if failed:
                    dest = os.path.join(failures_root(), self.id(), "run%d" % number)
                    run.save_artifacts(dest)
                    sys.stderr.write("\n%s run %d (kept in %s):\n%s\n" % (
                        self.id(), number, dest, run.describe()))
                run.cleanup()


ACCEPT = ["answer YES", "answer OK"]
# Seconds the server waits before a reply so that a window stays to be seen.
SEEN = 0.3
VERSION = {"wersja.txt": b"7"}
# Bytes that a text-mode write or read would change or stop at.
AWKWARD = b"MZ\r\n\x00\x1a\n\r\x00\xff\x1a\r\r\n" + bytes(range(256))


def body_of(size, seed):
    """size bytes holding CR LF, NUL and 0x1A, different for each seed."""
    unit = bytes([seed]) + AWKWARD
    return (unit * (size // len(unit) + 1))[:size]


def offer(files, port=None):
    """Routes offering files ({name: body}) for version 7, in that order. The
    first file comes after a pause, so that the download window stays on
    screen long enough for the driver to see it whole."""
    routes = {check_path(7): update_list([(file_url(name, port), len(body)) for name, body in files.items()])}
    for i, (name, body) in enumerate(files.items()):
        routes["/files/" + name] = Reply(body=body, delay=0.0 if i else SEEN)
    return routes


def windows_seen(result):
    """The kinds and texts of the windows, in an order that does not depend
    on which of two windows shown together the driver saw first."""
    return sorted((w.kind, w.text or "") for w in result.windows)


class DownloadTestCase(E2ETestCase):
    def file_requests(self, result):
        return [r["target"] for r in result.requests if not r["target"].startswith("/upload/")]

    def assert_failed_download(self, result):
        """The download failure message, owned by the download window; the
        working folder as it was, _update gone, nothing written anywhere
        else; menu.exe started."""
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual(windows_seen(result),
                         sorted([("check", ""), ("download", ""), ("message", QUESTION),
                                 ("message", DOWNLOAD_FAILED)]), result.describe())
        [download] = result.windows_of("download")
        [box] = [w for w in result.message_boxes if w.text == DOWNLOAD_FAILED]
        self.assertIs(box.owner, download)
        self.assertEqual(box.buttons, [1])
        self.assertEqual(result.changed_files(), {}, result.describe())
        self.assertEqual(result.files_outside, {}, result.describe())
        self.assertEqual(len(result.menu_runs), 1)
        return download, box

    def assert_installed(self, result, expected_changes):
        """Success: exactly these changes in the working folder, _update gone."""
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual([w.text for w in result.message_boxes], [QUESTION, INSTALLED], result.describe())
        self.assertEqual(result.changed_files(), expected_changes, result.describe())
        self.assertEqual(result.files_outside, {})
        self.assertEqual(len(result.menu_runs), 1)


class InstallTestCase(E2ETestCase):
    def run_update(self, files, offered, **options):
        return self.run_updater(dict(VERSION, **files), routes=offer(offered), steps=ACCEPT,
                                trace_message_boxes=True, **options)

    def final_message(self, result, text):
        """The one message after the download: shown with no owner, style
        flags as given, after the download window was destroyed; menu.exe
        started once, after it was answered."""
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual(sorted((w.kind, w.text or "") for w in result.windows),
                         sorted([("check", ""), ("download", ""), ("message", QUESTION), ("message", text)]),
                         result.describe())
        [download] = result.windows_of("download")
        [box] = [w for w in result.message_boxes if w.text == text]
        self.assertEqual((box.owner_hwnd, box.caption, box.buttons), (None, CAPTION, [1]))
        [call] = [c for c in result.message_box_calls if c["text"] == text]
        self.assertIn(download, call["destroyed_before"])
        [menu] = result.menu_runs
        self.assertEqual(menu["windows"], [], "menu.exe started while a window was still shown")
        self.assertEqual(result.files_outside, {})
        return box, call, menu

    def assert_installed(self, result, expected_changes):
        _, call, _ = self.final_message(result, INSTALLED)
        self.assertEqual((call["owner"], call["flags"]), (0, MB_OK | MB_TOPMOST))
        self.assertEqual(result.changed_files(), expected_changes, result.describe())

    def assert_download_failed(self, result):
        self.assertEqual(sorted(w.text or "" for w in result.message_boxes), sorted([QUESTION, DOWNLOAD_FAILED]),
                         result.describe())
        self.assertEqual(result.changed_files(), {}, result.describe())
        self.assertEqual(len(result.menu_runs), 1)

    def assert_install_failed(self, result, expected_changes):
        _, call, _ = self.final_message(result, INSTALL_FAILED)
        self.assertEqual((call["owner"], call["flags"]), (0, MB_OK))
        self.assertEqual(result.changed_files(), expected_changes, result.describe())
