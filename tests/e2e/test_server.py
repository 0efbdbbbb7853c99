"""End to end, both halves against each other: the real updater.exe under
Wine updates from the project's own update server (server/, published with
server/publish, served by nginx + PHP-FPM with the server manual's nginx block)
on 127.0.0.1:80 in the test's network namespace."""

import hashlib
import os
import random
import shutil
import tempfile
import threading
import time
import unittest

import harness
from reference_server import ReferenceServer

QUESTION = "Są nowe aktualizacje, czy chcesz je pobrać?"
NO_UPDATES = "Brak aktualizacji do pobrania."
INSTALLED = "Aktualizacja została zainstalowana pomyślnie."
ACCEPT = ["answer YES", "answer OK"]

# A URL carries the name unchanged; the client escapes the space on the wire.
SPACED = "stare pliki.txt"

RELEASES = {
    1: {"core.dll": b"core 1\x00\r\n", "help.txt": b"help 1", SPACED: b"spaced 1"},
    2: {"core.dll": b"core 2\x1a\x00" * 700, "data.bin": bytes(range(256)) * 9},
    3: {"core.dll": b"core 3\r\n" * 3000, "extra.txt": b"extra 3"},
}


def installed_at_1():
    files = {name: data for name, data in RELEASES[1].items()}
    files["wersja.txt"] = b"1"
    files["ustawienia.ini"] = b"[user]\r\nkept=1\r\n"  # the user's own, in no release
    return files


class ServerTestCase(harness.E2ETestCase):
    def setUp(self):
        os.makedirs(harness.work_root(), exist_ok=True)
        self.folder = tempfile.mkdtemp(prefix="server-", dir=harness.work_root())
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.server = ReferenceServer(self.folder)
        self.key = os.path.join(self.folder, "private.pem")
        self.server.publish("keygen", self.key, os.path.join(self.folder, "public.pem"))
        self.freshness_key = os.path.join(self.folder, "freshness.pem")
        self.server.publish("keygen", "--freshness", self.freshness_key, os.path.join(self.folder, "freshness-public.pem"))

    def keys(self, key=None, freshness_key=None):
        return ["--key", key or self.key, "--freshness-key", freshness_key or self.freshness_key]

    def release(self, version, files, key=None, freshness_key=None, clock=None):
        folder = os.path.join(self.folder, "release-%d" % version)
        os.makedirs(folder)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        return self.server.publish("release", str(version), folder, *self.keys(key, freshness_key), clock=clock)

    def release_all(self, key=None, freshness_key=None, clock=None):
        for version, files in sorted(RELEASES.items()):
            self.release(version, files, key, freshness_key, clock)

    def run_against_server(self, files, steps, **options):
        return self.run_updater(files, server_command=self.server.command(), steps=steps, **options)

    def file_requests(self):
        return sorted(r["request_line"] for r in self.server.requests() if " /files/" in r["request_line"])

    def describe(self, result):
        return result.describe() + "".join("\n  server: %(request_line)s -> %(status)d, %(sent)d bytes" % r
                                           for r in self.server.requests())

    def assert_message_texts(self, result, texts):
        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual([w.text for w in result.message_boxes], texts, self.describe(result))
        self.assertEqual(result.files_outside, {}, result.describe())
        self.assertEqual(len(result.menu_runs), 1, result.describe())


def newest(*versions):
    """{name: (version, bytes)} of the newest form of each file in these versions."""
    found = {}
    for version in versions:
        for name, data in RELEASES[version].items():
            found[name] = (version, data)
    return found


# The files of RELEASES that publishing compresses: with no patch they come
# as their compressed form.
COMPRESSED = {"core.dll", "data.bin"}


def requests_for(files, patched_from=None):
    """The requests for files ({name: (version, bytes)}); a name in
    patched_from ({name: version}) comes as its patch from that version's
    form, another in COMPRESSED as its compressed form."""
    patched_from = patched_from or {}

    def target(name, version):
        if name in patched_from:
            return "GET /files/patches/%d/%d/%s HTTP/1.0" % (version, patched_from[name], name)
        if name in COMPRESSED:
            return "GET /files/xz/%d/%s.xz HTTP/1.0" % (version, name)
        return "GET /files/%d/%s HTTP/1.0" % (version, name.replace(" ", "%20"))
    return sorted(target(name, version) for name, (version, _) in files.items())


class UpdatesFromTheServer(ServerTestCase):
    def test_version_1_goes_to_3_in_one_run_and_a_second_run_finds_nothing(self):
        self.release_all()
        result = self.run_against_server(installed_at_1(), ACCEPT)

        self.assert_message_texts(result, [QUESTION, INSTALLED])
        offered = newest(2, 3)
        expected = {name: (RELEASES[1].get(name), data) for name, (_, data) in offered.items()}
        expected["wersja.txt"] = (b"1", b"3")
        self.assertEqual(result.changed_files(), expected, result.describe())
        # Each changed file once, in its newest form: core.dll of 3, not of 2,
        # made from the patch to it from 1's form, which the client holds.
        self.assertEqual(self.file_requests(),
                         requests_for(dict(offered, **{"wersja.txt": (3, b"3")}), {"core.dll": 1}))

        again = self.run_against_server(result.files_after, ["answer OK"])
        self.assert_message_texts(again, [NO_UPDATES])
        self.assertEqual(again.changed_files(), {})

    def test_an_unreadable_version_file_gets_the_full_newest_set(self):
        self.release_all()
        files = installed_at_1()
        files["wersja.txt"] = b"abc"
        result = self.run_against_server(files, ACCEPT)

        self.assert_message_texts(result, [QUESTION, INSTALLED])
        full = newest(1, 2, 3)
        self.assertEqual(self.file_requests(), requests_for(dict(full, **{"wersja.txt": (3, b"3")})))
        expected = {name: (files.get(name), data) for name, (_, data) in full.items() if files.get(name) != data}
        expected["wersja.txt"] = (b"abc", b"3")
        self.assertEqual(result.changed_files(), expected, result.describe())

    def test_a_client_at_a_bad_version_gets_the_old_content_under_a_higher_version(self):
        self.release_all()
        self.server.publish("revert", "4", "2", *self.keys())
        at_3 = installed_at_1()
        at_3.update({name: data for name, (_, data) in newest(2, 3).items()})
        at_3["wersja.txt"] = b"3"
        result = self.run_against_server(at_3, ACCEPT)

        self.assert_message_texts(result, [QUESTION, INSTALLED])
        # 3 changed core.dll (back to 2's) and added extra.txt (kept: nothing removes a file).
        self.assertEqual(result.changed_files(), {"core.dll": (RELEASES[3]["core.dll"], RELEASES[2]["core.dll"]),
                                                  "wersja.txt": (b"3", b"4")}, result.describe())
        self.assertEqual(self.file_requests(), ["GET /files/4/wersja.txt HTTP/1.0",
                                                "GET /files/patches/4/3/core.dll HTTP/1.0"])

    def test_a_version_published_while_a_client_downloads_is_not_mixed_in(self):
        # The server holds first.bin's answer until version 3, which changes
        # every file of version 2, has been published: the client is then
        # certain to be downloading version 2 while 3 appears.
        first = {2: bytes(range(251)) * 64, 3: bytes(range(250, -1, -1)) * 64}
        self.release(1, RELEASES[1])
        self.release(2, {"first.bin": first[2], "core.dll": b"core 2"})
        self.server.hold("/files/xz/2/first.bin.xz")
        published = []

        def publish_while_downloading():
            deadline = time.monotonic() + 60
            while not self.server.held_arrived() and time.monotonic() < deadline:
                time.sleep(0.02)
            if self.server.held_arrived():
                self.release(3, {"first.bin": first[3], "core.dll": b"core 3"})
                published.append(int(time.time() * 1000))
            self.server.release_held()

        publisher = threading.Thread(target=publish_while_downloading)
        publisher.start()
        result = self.run_against_server(installed_at_1(), ACCEPT)
        publisher.join(70)

        self.assertTrue(published, "version 3 was never published")
        [first_request] = [r for r in self.server.requests() if "/first.bin.xz " in r["request_line"]]
        self.assertLess(published[0], first_request["t"], "version 3 was published after the download")
        self.assert_message_texts(result, [QUESTION, INSTALLED])
        changed = {name: (before, hashlib.sha256(after).hexdigest())
                   for name, (before, after) in result.changed_files().items()}
        self.assertEqual(changed, {"first.bin": (None, hashlib.sha256(first[2]).hexdigest()),
                                   "core.dll": (RELEASES[1]["core.dll"], hashlib.sha256(b"core 2").hexdigest()),
                                   "wersja.txt": (b"1", hashlib.sha256(b"2").hexdigest())}, result.describe())
        self.assertEqual(self.file_requests(), ["GET /files/2/core.dll HTTP/1.0", "GET /files/2/wersja.txt HTTP/1.0",
                                                "GET /files/xz/2/first.bin.xz HTTP/1.0"])


class SignedUpdatesFromTheServer(ServerTestCase):
    def run_keyed(self, files, steps):
        return self.run_against_server(files, steps, program_exe=os.environ["UPDATER_KEYED_EXE"])

    def test_a_signed_reply_installs_and_a_changed_or_replayed_one_installs_nothing(self):
        self.release_all(os.environ["TEST_PRIVATE_KEY"], os.environ["TEST_FRESHNESS_KEY"])
        replies = os.path.join(self.server.store, "replies")

        def stored(version):
            with open(os.path.join(replies, "%d.reply" % version), "rb") as f:
                return f.read()

        genuine = stored(1)
        result = self.run_keyed(installed_at_1(), ACCEPT)
        self.assert_message_texts(result, [QUESTION, INSTALLED])
        self.assertEqual(result.files_after["wersja.txt"], b"3")
        fetched = self.file_requests()

        # One byte of the body changed (a size), then the reply for version 2
        # replayed to a client at 1: no update list either time.
        for forged in (genuine.replace(b",7,", b",8,", 1), stored(2)):
            self.assertNotEqual(forged, genuine)
            with open(os.path.join(replies, "1.reply"), "wb") as f:
                f.write(forged)
            refused = self.run_keyed(installed_at_1(), ["answer OK"])
            self.assert_message_texts(refused, [NO_UPDATES])
            self.assertEqual(refused.changed_files(), {})
            self.assertEqual(self.file_requests(), fetched)


def changed_a_little(data, seed):
    """data with a few short runs of bytes replaced: its patch is small."""
    rng = random.Random(seed)
    changed = bytearray(data)
    for _ in range(12):
        at = rng.randrange(len(data) - 16)
        changed[at:at + 16] = rng.randbytes(16)
    return bytes(changed)


PROGRAM_1 = random.Random(1).randbytes(300 * 1024)
LIBRARY_1 = random.Random(2).randbytes(200 * 1024)
# Files large enough, changed little enough, that publish keeps their patches.
PATCHED_RELEASES = {
    1: {"program.exe": PROGRAM_1, "library.dll": LIBRARY_1, "help.txt": b"help 1"},
    2: {"program.exe": changed_a_little(PROGRAM_1, 3)},
    3: {"program.exe": changed_a_little(changed_a_little(PROGRAM_1, 3), 4),
        "library.dll": changed_a_little(LIBRARY_1, 5), "extra.bin": random.Random(6).randbytes(50 * 1024)},
}


class PatchesFromTheServer(ServerTestCase):
    def setUp(self):
        super().setUp()
        for version, files in sorted(PATCHED_RELEASES.items()):
            self.release(version, files)

    def offered_patches(self, version):
        """{name: PATCH_URL} of the lines that offer a patch in the reply for version."""
        with open(os.path.join(self.server.store, "replies", "%d.reply" % version), "rb") as f:
            body = f.read().split(b"\n", 2)[2].decode("ascii")
        fields = [line.split(",") for line in body.split("\r\n") if line]
        return {url.rsplit("/", 1)[1]: rest[2] for url, *rest in fields if len(rest) == 5}

    def run_at_1(self, changes=None):
        files = dict(PATCHED_RELEASES[1], **{"wersja.txt": b"1", "ustawienia.ini": b"[user]\r\nkept=1\r\n"})
        files.update(changes or {})
        return self.run_against_server(files, ACCEPT)

    def assert_newest_everywhere(self, result):
        self.assert_message_texts(result, [QUESTION, INSTALLED])
        newest = {name: data for version in sorted(PATCHED_RELEASES) for name, data in PATCHED_RELEASES[version].items()}
        self.assertEqual(result.files_after, dict(result.files_before, **newest, **{"wersja.txt": b"3"}),
                         self.describe(result))

    def test_a_client_whose_files_match_gets_a_patch_for_every_changed_file_that_has_one(self):
        patches = self.offered_patches(1)
        self.assertEqual(patches, {name: "http://localhost/files/patches/3/1/" + name
                                   for name in ("program.exe", "library.dll")})
        result = self.run_at_1()

        self.assert_newest_everywhere(result)
        self.assertEqual(self.file_requests(), sorted(
            ["GET /files/patches/3/1/%s HTTP/1.0" % name for name in ("program.exe", "library.dll")]
            + ["GET /files/3/%s HTTP/1.0" % name for name in ("extra.bin", "wersja.txt")]))

    def test_a_file_changed_on_the_client_comes_whole_the_others_by_patch(self):
        result = self.run_at_1({"library.dll": changed_a_little(LIBRARY_1, 7)})

        self.assert_newest_everywhere(result)
        self.assertEqual(self.file_requests(), sorted(
            ["GET /files/patches/3/1/program.exe HTTP/1.0"]
            + ["GET /files/3/%s HTTP/1.0" % name for name in ("library.dll", "extra.bin", "wersja.txt")]))


if __name__ == "__main__":
    unittest.main()
