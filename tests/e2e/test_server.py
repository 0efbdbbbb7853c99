"""End to end, both halves against each other: the real updater.exe under
Wine updates from the project's own update server (server/, published with
server/publish, served by nginx + PHP-FPM with the server manual's nginx block)
on 127.0.0.1:80 in the test's network namespace."""

import hashlib
import os
import threading
import time

from kit.cases import ACCEPT
from kit.processes import wait_for
from kit.protocol import INSTALLED, NO_UPDATES, QUESTION
from kit.server_cases import (LIBRARY_1, PATCHED_RELEASES, RELEASES, ServerTestCase, changed_a_little,
                              installed_at_1, newest, requests_for)


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
            if wait_for(self.server.held_arrived, 60):
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
