"""End-to-end tests of the lock that lets one run at a time change an
installation folder: a start that finds it held changes and shows nothing
and starts menu.exe; two starts at once install once; a lock file that no
run holds, or that a killed run held, is taken over."""


from kit.cases import ACCEPT, VERSION, InstallTestCase, offer
from kit.protocol import INSTALLED, QUESTION, Reply


LOCK_FILE = "_update.lock"
OFFERED = {"wersja.txt": b"8", "a.dll": b"new a"}
MIB = 1024 * 1024


def slowly(routes, names, pieces, pause):
    """The files of routes sent in that many pieces with a pause between."""
    for name in names:
        body = routes["/files/" + name].body
        routes["/files/" + name] = Reply(body=body, piece_size=-(-len(body) // pieces), pause=pause)
    return routes


class OneRunAtATime(InstallTestCase):
    def test_a_start_while_another_run_holds_the_folder_changes_nothing(self):
        # hold_file keeps the lock file open without sharing, as a run does.
        files = dict(VERSION, **{"a.dll": b"old a", LOCK_FILE: b""})
        result = self.run_updater(files, routes=offer(OFFERED), steps=ACCEPT, hold_files=[LOCK_FILE])

        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
        self.assertEqual(result.windows, [], result.describe())
        self.assertEqual(result.requests, [], result.describe())
        self.assertEqual(result.changed_files(), {}, result.describe())
        [menu] = result.menu_runs
        self.assertEqual(menu["command_line"], "menu.exe")

    def assert_one_installation(self, result, installed, starts):
        self.assertEqual((result.exit_code, result.other_exit_codes, result.timed_out),
                         (0, [0] * (starts - 1), False), result.describe())
        self.assertEqual(sorted(w.text for w in result.message_boxes), sorted([QUESTION, INSTALLED]),
                         result.describe())
        self.assertEqual(len(result.menu_runs), starts, result.describe())
        self.assertEqual(result.files_after, installed, result.describe())

    def test_two_starts_at_once_install_once(self):
        small = {"f%03d.dll" % i: b"new %d" % i for i in range(300)}
        large = {"f%d.dll" % i: bytes([i]) * (2 * MIB) for i in range(3)}
        for kind, offered in [("300 small", small), ("3 large, slow", large)]:
            for version_place in ["first", "last"]:
                with self.subTest(kind=kind, version_file=version_place):
                    if version_place == "first":
                        offered_now = dict({"wersja.txt": b"8"}, **offered)
                    else:
                        offered_now = dict(offered, **{"wersja.txt": b"8"})
                    files = dict(VERSION, **{name: b"old" for name in offered})
                    routes = offer(offered_now)
                    if offered is large:
                        routes = slowly(routes, large, pieces=8, pause=0.2)
                    result = self.run_updater(files, routes=routes, steps=ACCEPT, also_start=[0],
                                              timeout=120)

                    self.assert_one_installation(result, self.all_new(result, offered_now), 2)

    def all_new(self, result, offered):
        return dict(result.files_before, **offered)

    def test_a_start_during_the_download_changes_nothing(self):
        offered = {"wersja.txt": b"8", "a.dll": bytes(range(256)) * 4096}
        routes = slowly(offer(offered), ["a.dll"], pieces=40, pause=0.5)
        result = self.run_updater(dict(VERSION, **{"a.dll": b"old a"}), routes=routes, steps=ACCEPT,
                                  also_start=[8])

        self.assert_one_installation(result, self.all_new(result, offered), 2)
        [download] = result.windows_of("download")
        first_menu = min(m["t"] for m in result.menu_runs)
        self.assertTrue(download.shown_t < first_menu < download.gone_t,
                        "the second start did not come during the download:\n" + result.describe())

    def test_a_run_killed_while_downloading_does_not_keep_the_next_start_from_updating(self):
        # The killed run's download stalls; the next start's is answered at once.
        offered = {"wersja.txt": b"8", "a.dll": b"new a" * 1000}
        routes = offer(offered)
        routes["/files/a.dll"] = [Reply(body=offered["a.dll"], piece_size=1024, pause=60),
                                  Reply(body=offered["a.dll"])]
        result = self.run_updater(dict(VERSION, **{"a.dll": b"old a"}), routes=routes,
                                  steps=["answer YES"] + ACCEPT, kill_after=6, also_start=[8])

        self.assertEqual((result.other_exit_codes, result.timed_out), ([0], False), result.describe())
        self.assertNotEqual(result.exit_code, 0, result.describe())
        self.assertEqual(sorted(w.text for w in result.message_boxes), sorted([QUESTION, QUESTION, INSTALLED]),
                         result.describe())
        self.assertEqual(len(result.menu_runs), 1, result.describe())
        self.assertEqual(result.files_after, self.all_new(result, offered), result.describe())

    def test_a_lock_file_left_by_a_power_cut_is_taken_over(self):
        files = dict(VERSION, **{"a.dll": b"old a", LOCK_FILE: b"left"})
        result = self.run_update(files, OFFERED)

        self.assert_installed(result, {"wersja.txt": (b"7", b"8"), "a.dll": (b"old a", b"new a"),
                                       LOCK_FILE: (b"left", None)})
