"""End-to-end tests of the program entry: the connectivity test, the launch of
menu.exe from the working folder and the exit code."""

import os

from kit.cases import E2ETestCase
from kit.folders import MENU
from kit.paths import wine_path
from kit.protocol import CAPTION, MB_OK, NO_CONNECTION, NO_UPDATES, check_path, file_url, update_list


# Offered for every version the tests use, so that a request the program
# should not send would lead somewhere visible.
OFFER = update_list([(file_url("a.txt"), 3)])
ROUTES = {check_path(7): OFFER, "/files/a.txt": b"new"}


class WithoutConnection(E2ETestCase):
    def test_only_the_connectivity_message_then_menu_from_the_working_folder(self):
        result = self.run_updater(
            files={"wersja.txt": b"7\r\n", "data/app.dat": b"\x00\x01"},
            connected=False, routes=ROUTES, steps=["answer OK"], trace_message_boxes=True)

        self.assertEqual(result.exit_code, 0, result.describe())
        [box] = result.windows
        self.assertEqual((box.kind, box.caption, box.text, box.buttons, box.owner_hwnd),
                         ("message", CAPTION, NO_CONNECTION, [1], None))
        [call] = result.message_box_calls
        self.assertEqual((call["owner"], call["flags"]), (0, MB_OK))
        self.assertEqual(result.changed_files(), {})
        self.assertEqual(result.requests, [])

        [menu] = result.menu_runs
        self.assertEqual(menu["command_line"], "menu.exe")
        self.assertEqual(menu["cwd"].lower(), wine_path(result.work_dir).lower())
        self.assertEqual(menu["exe"].lower(), wine_path(os.path.join(result.work_dir, "menu.exe")).lower())
        self.assertEqual(menu["windows"], [], "menu.exe started while the message was still shown")

    def test_without_menu_exe_the_run_ends_silently(self):
        result = self.run_updater(files={"wersja.txt": b"7"}, connected=False, menu=False,
                                  routes=ROUTES, steps=["answer OK"])

        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertFalse(result.timed_out)
        self.assertEqual([(w.kind, w.text) for w in result.windows], [("message", NO_CONNECTION)])
        self.assertEqual(result.menu_runs, [])
        self.assertEqual(result.changed_files(), {})


class StartedFromAnotherFolder(E2ETestCase):
    def test_the_working_folders_menu_is_started_never_the_programs(self):
        cases = [
            ("menu.exe in both folders", True),
            ("menu.exe only beside the program", False),
        ]
        for name, menu_in_working_folder in cases:
            with self.subTest(name):
                result = self.run_updater(
                    files={"wersja.txt": b"7"}, connected=False, menu=menu_in_working_folder,
                    program="elsewhere", program_files={"menu.exe": MENU}, steps=["answer OK"])

                self.assertEqual(result.exit_code, 0, result.describe())
                expected_exe = os.path.join(result.work_dir, "menu.exe")
                self.assertEqual([m["exe"].lower() for m in result.menu_runs],
                                 [wine_path(expected_exe).lower()] if menu_in_working_folder else [])
                self.assertEqual(result.changed_files(), {})


class WithConnection(E2ETestCase):
    def test_the_run_goes_on_to_the_check_of_the_working_folders_version(self):
        result = self.run_updater(
            files={"wersja.txt": b"7"}, program="elsewhere", program_files={"wersja.txt": b"9"},
            routes={check_path(7): b""}, steps=["answer OK"], trace_message_boxes=True)

        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual([r["request_line"] for r in result.requests],
                         ["GET /upload/check_update.php?wersja=7 HTTP/1.0"])
        self.assertIn(["User-Agent", "Tervalisk"], result.requests[0]["headers"])
        check, box = result.windows
        self.assertEqual((check.kind, check.caption), ("check", "Aktualizacja"))
        self.assertEqual((box.kind, box.text, box.buttons, box.owner), ("message", NO_UPDATES, [1], check))
        self.assertEqual([c["owner_win"] for c in result.message_box_calls], [check])
        self.assertEqual(len(result.menu_runs), 1)
