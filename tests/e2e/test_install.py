"""End-to-end tests of the installation: the real updater.exe moves the files
it staged in _update over the installed ones under Wine, all or nothing, then
tells the user and starts menu.exe."""

import os
import tempfile

from kit.paths import wine_path, work_root
from kit.protocol import check_path
from kit.wine import wine_attributes
from kit.cases import ACCEPT, VERSION, InstallTestCase, offer
from kit.protocol import INSTALLED


class SuccessfulInstallation(InstallTestCase):
    def test_the_success_message_stands_above_all_and_menu_follows_it(self):
        result = self.run_update({"prog.exe": b"old"}, {"prog.exe": b"new\r\n\x00\x1a"})

        self.assert_installed(result, {"prog.exe": (b"old", b"new\r\n\x00\x1a")})
        box, _, menu = self.final_message(result, INSTALLED)
        [ok] = [p for p in result.presses if p["win"] == box.win]
        self.assertEqual(ok["button"], "OK")
        self.assertGreater(menu["t"], ok["t"])
        self.assertGreater(menu["t"], box.gone_t)

    def test_a_read_only_installed_file_is_replaced(self):
        # The state the run sets up: Wine sees a file without write bits as
        # read-only, and it would refuse to delete it as it is.
        os.makedirs(work_root(), exist_ok=True)
        with tempfile.TemporaryDirectory(dir=work_root()) as folder:
            probe = os.path.join(folder, "probe.dll")
            with open(probe, "wb") as f:
                f.write(b"x")
            os.chmod(probe, 0o444)
            self.assertIn("R", wine_attributes(probe))

        result = self.run_update({"prog.dll": b"old", "other.dll": b"other"}, {"prog.dll": b"new"},
                                 read_only=["prog.dll", "other.dll"])

        self.assert_installed(result, {"prog.dll": (b"old", b"new")})

    def test_a_file_without_an_installed_counterpart_is_added(self):
        result = self.run_update({"old.dll": b"old"}, {"plugins.dll": b"added", "old.dll": b"newer"})

        self.assert_installed(result, {"plugins.dll": (None, b"added"), "old.dll": (b"old", b"newer")})


class FailedInstallation(InstallTestCase):
    """A failed installation leaves the working folder byte for byte as it was."""

    def test_a_folder_in_the_way_of_a_staged_file(self):
        result = self.run_update({"b.dll/inner.txt": b"kept"}, {"b.dll": b"new"})

        self.assert_install_failed(result, {})

    def test_a_folder_in_the_way_of_the_second_file_leaves_the_first_old(self):
        files = {"a.dll": b"old a", "b.dll/inner.txt": b"kept", "c.dll": b"old c"}
        result = self.run_update(files, {"a.dll": b"new a", "b.dll": b"new b", "c.dll": b"new c"})

        self.assert_install_failed(result, {})

    def test_a_failure_with_the_version_file_among_the_files_offers_the_update_again(self):
        files = {"a.dll": b"old a", "z.dll": b"old z"}
        offered = {"wersja.txt": b"8", "a.dll": b"new a", "z.dll": b"new z"}
        failed = self.run_update(files, offered, hold_files=["z.dll"])
        self.assert_install_failed(failed, {})

        again = self.run_updater(failed.files_after, routes=offer(offered), steps=ACCEPT,
                                 trace_message_boxes=True)

        self.assertEqual([r["target"] for r in again.requests][:1], [check_path(7)], again.describe())
        self.assert_installed(again, {"wersja.txt": (b"7", b"8"), "a.dll": (b"old a", b"new a"),
                                      "z.dll": (b"old z", b"new z")})

    def test_only_the_files_of_this_update_are_installed(self):
        # A file left in _update that another program holds open survives the
        # clearing of _update before the download; it was not offered, so it
        # is not installed, and _update stays behind with it.
        files = {"a.dll": b"old a", "b.dll": b"old b", "c.dll": b"old c", "_update/b.dll": b"left b"}
        result = self.run_update(files, {"a.dll": b"new a", "c.dll": b"new c"}, hold_files=["_update/b.dll"])

        self.assert_installed(result, {"a.dll": (b"old a", b"new a"), "c.dll": (b"old c", b"new c")})


class LongNames(InstallTestCase):
    """Every path formed for a name (its staged copy, the installed file, the
    journal beside them) must stay below MAX_PATH (260) as the program sees
    it; the working folder is Z: followed by the host path."""

    def longest_name(self):
        # The run's folder is <work root>/run-XXXXXXXX/app.
        folder = wine_path(os.path.join(work_root(), "run-XXXXXXXX", "app"))
        return 259 - len(folder + "\\_update\\")

    def test_names_past_the_limit_are_refused_before_anything_is_staged(self):
        for length in [self.longest_name() + 1, 252, 253, 254, 255]:
            with self.subTest(length):
                name = "n" * (length - 4) + ".dll"
                result = self.run_update({"a.dll": b"old a"}, {"a.dll": b"new a", name: b"new"})

                self.assert_download_failed(result)

    def test_the_longest_name_that_fits_is_installed(self):
        name = "n" * (self.longest_name() - 4) + ".dll"
        result = self.run_update({"a.dll": b"old a"}, {"a.dll": b"new a", name: b"new"})

        self.assert_installed(result, {"a.dll": (b"old a", b"new a"), name: (None, b"new")})


class NamesFromUrls(InstallTestCase):
    """A file's name is the last segment of its URL, percent-decoded, its
    UTF-8 turned into code page 1250; plain code page 1250 bytes stay."""

    def test_an_encoded_or_plain_name_replaces_the_installed_file(self):
        for form, segment in [("percent-encoded UTF-8", "%C5%82%C3%B3d%C5%BA.txt"),
                              ("code page 1250", "łódź.txt")]:
            with self.subTest(form):
                # The test server reads a request's target as Latin-1.
                routes = offer({segment: b"new"})
                routes["/files/" + segment.encode("cp1250").decode("latin-1")] = routes.pop("/files/" + segment)
                result = self.run_updater(dict(VERSION, **{"łódź.txt": b"old"}), routes=routes, steps=ACCEPT,
                                          trace_message_boxes=True)

                self.assert_installed(result, {"łódź.txt": (b"old", b"new")})

    def test_a_name_without_a_form_in_the_code_page_fails_the_download(self):
        result = self.run_update({"a.dll": b"old a"}, {"a.dll": b"new a", "%E4%B8%AD.txt": b"new"})

        self.assert_download_failed(result)
