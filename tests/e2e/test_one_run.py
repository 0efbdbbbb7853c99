"""End-to-end tests of the lock that lets one run at a time change an
installation folder: a start that finds it held changes and shows nothing
and starts menu.exe; a lock file that no run holds is taken over."""

import unittest

from test_install import ACCEPT, VERSION, InstallTestCase, offer

LOCK_FILE = "_update.lock"
OFFERED = {"wersja.txt": b"8", "a.dll": b"new a"}


class OneRunAtATime(InstallTestCase):
    def test_a_start_while_another_run_holds_the_folder_changes_nothing(self):
        # hold_file keeps the lock file open without sharing, as a run does.
        files = dict(VERSION, **{"a.dll": b"old a", LOCK_FILE: b""})
        result = self.run_updater(files, routes=offer(OFFERED), steps=ACCEPT, hold_files=[LOCK_FILE],
                                  timeout=20)

        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
        self.assertEqual(result.windows, [], result.describe())
        self.assertEqual(result.requests, [], result.describe())
        self.assertEqual(result.changed_files(), {}, result.describe())
        [menu] = result.menu_runs
        self.assertEqual(menu["command_line"], "menu.exe")

    def test_a_lock_file_left_by_a_power_cut_is_taken_over(self):
        files = dict(VERSION, **{"a.dll": b"old a", LOCK_FILE: b"left"})
        result = self.run_update(files, OFFERED)

        self.assert_installed(result, {"wersja.txt": (b"7", b"8"), "a.dll": (b"old a", b"new a"),
                                       LOCK_FILE: (b"left", None)})


if __name__ == "__main__":
    unittest.main()
