"""End-to-end tests of patches: offered a patch beside a file, the real
updater.exe fetches the patch when the installed file is the form the patch
applies to and makes the new form from it; in every other case it fetches the
whole file. The patches are made here as the server makes them (xdelta3)."""

import glob
import random
import subprocess

from kit.cases import ACCEPT, VERSION, DownloadTestCase
from kit.patches import LARGEST_PATCH, apply_patch, line, make_patch, patch_path
from kit.protocol import Reply, check_path


def forms(seed, size=150 * 1024, added=3000):
    """An old and a new form of a file: the new one has a few bytes changed
    and some added, so that its patch is a small part of it."""
    rng = random.Random(seed)
    old = rng.randbytes(size)
    new = bytearray(old)
    for _ in range(20):
        at = rng.randrange(size - 64)
        new[at:at + 16] = rng.randbytes(16)
    return old, bytes(new[:size // 2] + rng.randbytes(added) + new[size // 2:])


class PatchTestCase(DownloadTestCase):
    def offer(self, lines, files):
        """Routes for version 7: the reply of these lines, and each of files
        ({target: body or Reply})."""
        routes = {check_path(7): b"\r\n".join(lines)}
        routes.update(files)
        return routes

    def assert_whole_folder(self, result, new_forms):
        """Success, and the working folder exactly as it was but for these
        new forms (nothing else written anywhere)."""
        self.assert_installed(result, {name: (result.files_before.get(name), data)
                                       for name, data in new_forms.items()})
        self.assertEqual(result.files_after, dict(result.files_before, **new_forms), result.describe())


class PatchUsed(PatchTestCase):
    def test_a_file_in_the_patchs_base_form_gets_the_patch_and_ends_in_the_new_form(self):
        old, new = forms(1)
        patch = make_patch(old, new)
        self.assertLess(len(patch), len(new) // 10)
        plain = bytes(range(256)) * 20
        routes = self.offer(
            [line("data.bin", plain), line("app.dll", new, old, len(patch))],
            # Pieces of 1 KiB with pauses, so that the driver sees the file bar move.
            {"/files/data.bin": Reply(body=plain, delay=0.3),
             patch_path("app.dll"): Reply(body=patch, piece_size=1024, pause=0.1, delay=0.3),
             "/files/app.dll": new})
        result = self.run_updater(dict(VERSION, **{"app.dll": old, "readme.txt": b"kept\r\n"}),
                                  routes=routes, steps=ACCEPT)

        self.assert_whole_folder(result, {"app.dll": new, "data.bin": plain})
        self.assertEqual(self.file_requests(result), ["/files/data.bin", patch_path("app.dll")])
        [download] = result.windows_of("download")
        self.assertEqual([n for n in download.file_names() if n != "Static"], ["data.bin", "app.dll"])
        # The file bar runs over the patch's size: over the file's, a patch a
        # tenth of it would keep the bar below 10.
        bars = [e for e in download.events if e["ev"] == "bar"]
        patch_started = min(e["t"] for e in bars if e["id"] == 1003 and e["pos"] == 1)
        during_patch = [e["pos"] for e in bars if e["id"] == 1001 and e["t"] >= patch_started]
        self.assertTrue([pos for pos in during_patch if 10 <= pos < 100], result.describe())


class WholeFileInstead(PatchTestCase):
    def test_a_changed_or_missing_installed_file_or_a_too_large_patch_gets_the_whole_file(self):
        changed_old, changed_new = forms(2)
        missing_old, missing_new = forms(3)
        large_old, large_new = forms(4)
        patches = {"changed.dll": make_patch(changed_old, changed_new),
                   "missing.dll": make_patch(missing_old, missing_new)}
        locally_changed = changed_old[:1000] + b"\x00" + changed_old[1001:]
        self.assertNotEqual(locally_changed, changed_old)
        installed = dict(VERSION, **{"changed.dll": locally_changed, "large.dll": large_old})
        routes = self.offer(
            [line("changed.dll", changed_new, changed_old, len(patches["changed.dll"])),
             line("missing.dll", missing_new, missing_old, len(patches["missing.dll"])),
             # The base matches, but the patch is larger than the program takes.
             line("large.dll", large_new, large_old, LARGEST_PATCH + 1)],
            {patch_path("changed.dll"): patches["changed.dll"], patch_path("missing.dll"): patches["missing.dll"],
             patch_path("large.dll"): make_patch(large_old, large_new),
             "/files/changed.dll": Reply(body=changed_new, delay=0.3), "/files/missing.dll": missing_new,
             "/files/large.dll": large_new})
        result = self.run_updater(installed, routes=routes, steps=ACCEPT)

        self.assert_whole_folder(result, {"changed.dll": changed_new, "missing.dll": missing_new,
                                          "large.dll": large_new})
        self.assertEqual(self.file_requests(result), ["/files/changed.dll", "/files/missing.dll", "/files/large.dll"])

    def test_a_patch_that_fails_to_arrive_decode_or_verify_gives_way_to_the_whole_file(self):
        names = ["flipped.dll", "cut.dll", "short.dll", "absent.dll"]
        old_forms, new_forms, served, listed_sizes = {}, {}, {}, {}
        for seed, name in enumerate(names, 10):
            old_forms[name], new_forms[name] = forms(seed)
            patch = make_patch(old_forms[name], new_forms[name])
            served[name], listed_sizes[name] = patch, len(patch)
        # Bytes flipped among the bytes the patch adds: it decodes, to other bytes.
        middle = len(served["flipped.dll"]) // 2
        served["flipped.dll"] = (served["flipped.dll"][:middle]
                                 + bytes(b ^ 0xFF for b in served["flipped.dll"][middle:middle + 16])
                                 + served["flipped.dll"][middle + 16:])
        flipped = apply_patch(old_forms["flipped.dll"], served["flipped.dll"])
        self.assertEqual(len(flipped), len(new_forms["flipped.dll"]))
        self.assertNotEqual(flipped, new_forms["flipped.dll"])
        # Cut, and listed with the size it has: it arrives, but does not decode.
        served["cut.dll"] = served["cut.dll"][:-40]
        listed_sizes["cut.dll"] = len(served["cut.dll"])
        self.assertIsNone(apply_patch(old_forms["cut.dll"], served["cut.dll"]))
        # Cut, and listed whole: fewer bytes arrive than listed.
        served["short.dll"] = served["short.dll"][:-40]
        del served["absent.dll"]  # 404
        installed = dict(VERSION, **old_forms)
        routes = self.offer([line(name, new_forms[name], old_forms[name], listed_sizes[name]) for name in names],
                            dict({patch_path(name): patch for name, patch in served.items()},
                                 **{"/files/" + name: new_forms[name] for name in names}))
        result = self.run_updater(installed, routes=routes, steps=ACCEPT)

        self.assert_whole_folder(result, new_forms)
        self.assertEqual(self.file_requests(result),
                         [target for name in names for target in (patch_path(name), "/files/" + name)])


def xz(data, *options):
    """data as the server compresses it (server/src/compressed_forms.php), or with other options."""
    return subprocess.run(["xz", "-c", "-q", "-T1", *(options or ["--x86", "--lzma2=preset=9e,dict=1MiB"])],
                          input=data, stdout=subprocess.PIPE, check=True, timeout=60).stdout


def mingw_dll(name):
    [path] = glob.glob("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/" + name)
    with open(path, "rb") as f:
        return f.read()


def compressed_path(name):
    return "/xz/7/%s.xz" % name


def compressed_line(name, new, size):
    """A reply line for name with no patch and the compressed form at compressed_path(name)."""
    return line(name, new) + (",,,,http://localhost%s,%d" % (compressed_path(name), size)).encode("ascii")


class CompressedForms(PatchTestCase):
    def test_with_no_patch_the_compressed_form_comes_and_one_that_fails_gives_way_to_the_whole_file(self):
        # An unreadable version file: the repair's reply (-1), where no file has a patch.
        names = ["new.dll", "cut.dll", "flipped.dll", "truncated.dll", "oversized.dll"]
        data = {name: mingw_dll("libssp-0.dll")[:100000 + 1000 * at] for at, name in enumerate(names)}
        streams = {name: xz(data[name]) for name in names}
        listed = {name: len(form) for name, form in streams.items()}
        middle = len(streams["flipped.dll"]) // 2
        streams["flipped.dll"] = streams["flipped.dll"][:middle] + b"\xff" + streams["flipped.dll"][middle + 1:]
        streams["truncated.dll"] = streams["truncated.dll"][:-30]
        listed["truncated.dll"] -= 30
        # A dictionary over the program's limit, for all that the file is small.
        streams["oversized.dll"] = xz(data["oversized.dll"], "--x86", "--lzma2=dict=16MiB")
        listed["oversized.dll"] = len(streams["oversized.dll"])
        self.assertLess(listed["new.dll"], len(data["new.dll"]) // 2)
        validated = [("ETag", '"c1"')]
        routes = {check_path(-1): b"\r\n".join(compressed_line(name, data[name], listed[name]) for name in names)}
        routes.update({compressed_path(name): Reply(body=form) for name, form in streams.items()})
        # Closed half-way, continued from there under its validator.
        routes[compressed_path("cut.dll")] = [
            Reply(body=streams["cut.dll"], ranges=True, headers=validated, drop_after=listed["cut.dll"] // 2,
                  drop_how="close"),
            Reply(body=streams["cut.dll"], ranges=True, headers=validated)]
        routes.update({"/files/" + name: data[name] for name in names})
        installed = {"wersja.txt": b"wersja", "readme.txt": b"kept\r\n"}
        result = self.run_updater(installed, routes=routes, steps=ACCEPT)

        self.assert_whole_folder(result, data)
        self.assertEqual(self.file_requests(result),
                         [compressed_path("new.dll"), compressed_path("cut.dll"), compressed_path("cut.dll")]
                         + [target for name in names[2:] for target in (compressed_path(name), "/files/" + name)])
        continued = [r for r in result.requests if r["target"] == compressed_path("cut.dll")][1]
        headers = {n.lower(): v for n, v in continued["headers"]}
        self.assertEqual((headers.get("range"), headers.get("if-range")),
                         ("bytes=%d-" % (listed["cut.dll"] // 2), '"c1"'))


class CancelDuringAPatch(PatchTestCase):
    def test_cancel_while_the_patch_comes_ends_the_download_without_the_whole_file(self):
        # A patch of some 40 KiB, trickled over some 8 s.
        old, new = forms(5, added=40 * 1024)
        patch = make_patch(old, new)
        routes = self.offer([line("app.dll", new, old, len(patch))],
                            {patch_path("app.dll"): Reply(body=patch, piece_size=1024, pause=0.2),
                             "/files/app.dll": new})
        result = self.run_updater(dict(VERSION, **{"app.dll": old}), routes=routes,
                                  steps=["answer YES", "wait-shown download", "sleep 1500", "cancel download",
                                         "answer OK"])

        self.assert_failed_download(result)
        self.assertEqual([(p["kind"], p["button"]) for p in result.presses],
                         [("message", "YES"), ("download", "CANCEL"), ("message", "OK")])
        self.assertEqual(self.file_requests(result), [patch_path("app.dll")])
        [request] = result.requests[1:]
        self.assertTrue(request["ended"].startswith("client gone"), request)
        self.assertLess(request["sent"], len(patch))
