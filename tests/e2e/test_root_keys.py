"""End to end: updater_rooted.exe, built once with three throw-away root
keys, threshold 2 and the first key statement (tools/make_root_keys),
follows key statements from the project's own server through rotations, a
revocation, a pin, a new root set and damaged kept statements, each run
compared over the whole installation folder."""

import base64
import hashlib
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

import harness
import tls
from reference_server import ReferenceServer
from test_server import ACCEPT, INSTALLED, NO_UPDATES, QUESTION, RELEASES, ServerTestCase, installed_at_1

KEPT = "_update.keys"
folder = {}


def build_file(*parts):
    return os.path.join(harness._build_dir(), *parts)


def root_key(number):
    return build_file("test-root", "root%d.pem" % number)


def setUpModule():
    # The release that a pinned publisher signs is checked against the CA bundle when it is published.
    os.makedirs(harness.work_root(), exist_ok=True)
    folder["work"] = tempfile.mkdtemp(prefix="root-keys-", dir=harness.work_root())
    tls.trust_in_this_process(build_file("test-publishers", "ca.pem"), folder["work"])
    os.environ["E2E_WINEPREFIX"] = harness.wine_prefix() + "-rooted"
    harness.prepare_prefix(os.environ["E2E_WINEPREFIX"])


def tearDownModule():
    shutil.rmtree(folder["work"], ignore_errors=True)


def signed_by_publisher_a(path):
    signed = os.path.join(folder["work"], "signed.exe")
    subprocess.run(["osslsigncode", "sign", "-certs", build_file("test-publishers", "a.pem"), "-key",
                    build_file("test-publishers", "a-key.pem"), "-h", "sha256", "-in", path, "-out", signed],
                   check=True, timeout=60, capture_output=True)
    return pathlib.Path(signed).read_bytes()


class RootedProgram(ServerTestCase):
    def setUp(self):
        super().setUp()
        # Each run sees the store as it is now, never a reply nginx held from before.
        self.server = ReferenceServer(self.folder, cache=False)
        # Statement 1 names the test keys; the keys ServerTestCase made are the next ones.
        self.release_1, self.freshness_1 = os.environ["TEST_PRIVATE_KEY"], os.environ["TEST_FRESHNESS_KEY"]
        self.release_2, self.freshness_2 = self.key, self.freshness_key
        self.server.publish("keys", "commit", build_file("test-root", "statement-1"))

    def propose(self, name, signers, *changes):
        path = os.path.join(self.folder, name)
        self.server.publish("keys", "propose", path, *changes)
        for key in signers:
            self.server.publish("keys", "sign", path, "--root-key", key)
        return path

    def statement_path(self, serial):
        return os.path.join(self.server.store, "files", "keys", str(serial))

    def statements(self, *serials):
        return b"".join(pathlib.Path(self.statement_path(serial)).read_bytes() for serial in serials)

    def place(self, path, serial):
        """Into the store as a commit would never put it."""
        os.makedirs(os.path.dirname(self.statement_path(serial)), exist_ok=True)
        shutil.copy(path, self.statement_path(serial))

    def run_rooted(self, files, offered, kept, fetched=(), program=None):
        """One run from files; offered: the files it installs ({} for none);
        kept: the statements expected in _update.keys afterwards."""
        before = len(self.server.requests())
        result = self.run_against_server(files, ACCEPT if offered else ["answer OK"],
                                         program_exe=program or build_file("tests", "updater_rooted.exe"))
        self.assert_message_texts(result, [QUESTION, INSTALLED] if offered else [NO_UPDATES])
        expected = dict(result.files_before, **offered)
        expected.pop(KEPT, None)
        if kept:
            expected[KEPT] = kept
        self.maxDiff = 4000
        self.assertEqual(result.files_after, expected, self.describe(result))
        requests = [r["request_line"] for r in self.server.requests()[before:] if "/files/keys/" in r["request_line"]]
        self.assertEqual(requests, ["GET /files/keys/%d HTTP/1.0" % n for n in fetched], self.describe(result))
        return {name: data for name, data in result.files_after.items() if name not in ("updater.exe", "menu.exe")}

    def test_keys_rotate_revoke_and_pin_through_statements_with_no_new_program(self):
        release, fresh = self.release_1, self.freshness_1
        self.release(1, RELEASES[1], release, fresh)
        self.release(2, RELEASES[2], release, fresh)
        at_2 = dict(RELEASES[2], **{"wersja.txt": b"2"})
        # Under statement 1, with no extra request; today's two-key program updates from the same replies.
        files = self.run_rooted(installed_at_1(), at_2, None)
        self.run_rooted(installed_at_1(), at_2, None, program=os.environ["UPDATER_KEYED_EXE"])

        # Statement 2 names a new release key: signed by one root key, or by one key twice, it is refused.
        proposal = self.propose("s2", [root_key(1)], "--release-key", os.path.join(self.folder, "public.pem"))
        with self.assertRaisesRegex(RuntimeError, "1 distinct keys of the root set in force"):
            self.server.publish("keys", "commit", proposal)
        self.place(proposal, 2)
        self.release(3, RELEASES[3], self.release_2, fresh)
        self.run_rooted(files, {}, None, fetched=[2])
        once = pathlib.Path(proposal).read_bytes()
        twice = pathlib.Path(self.folder, "s2-twice")
        twice.write_bytes(once + once[once.index(b"signature="):])
        self.place(twice, 2)
        self.run_rooted(files, {}, None, fetched=[2])
        # Signed by two, it is accepted, and the same program installs what the new key signed.
        self.server.publish("keys", "sign", proposal, "--root-key", root_key(3))
        os.remove(self.statement_path(2))
        self.server.publish("keys", "commit", proposal)
        at_3 = dict(RELEASES[3], **{"wersja.txt": b"3"})
        files = self.run_rooted(files, at_3, self.statements(2), fetched=[2])

        # A reply signed by the revoked key installs nothing (and costs no extra request).
        self.release(4, {"extra.txt": b"extra 4"}, self.release_2, fresh)
        reply = pathlib.Path(self.server.store, "replies", "3.reply")
        genuine = reply.read_bytes()
        message = b"produkt=localhost\nwersja=3\n" + genuine.split(b"\n", 3)[3]
        revoked = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.release_1], input=message,
                                 capture_output=True, check=True, timeout=60).stdout
        reply.write_bytes(base64.b64encode(revoked) + genuine[genuine.index(b"\n"):])
        self.run_rooted(files, {}, self.statements(2))
        reply.write_bytes(genuine)

        # Statement 3 rotates the freshness key.
        self.server.publish("keys", "commit", self.propose("s3", [root_key(2), root_key(3)], "--freshness-key",
                                                           os.path.join(self.folder, "freshness-public.pem")))
        fresh = self.freshness_2
        self.server.publish("refresh", "--freshness-key", fresh)
        at_4 = {"extra.txt": b"extra 4", "wersja.txt": b"4"}
        files = self.run_rooted(files, at_4, self.statements(2, 3), fetched=[3])

        # Statement 4 pins publisher a; with the kept statements zeroed, the program starts from
        # the one it was built with and fetches three, at most as many as one run takes.
        pin_of_a = hashlib.sha256(pathlib.Path(build_file("test-publishers", "a.spki")).read_bytes()).hexdigest()
        self.server.publish("keys", "commit", self.propose("s4", [root_key(1), root_key(2)], "--pins", pin_of_a))
        tool = signed_by_publisher_a(harness.menu_exe())
        self.release(5, {"tool.exe": tool}, self.release_2, fresh)
        files[KEPT] = bytes(len(files[KEPT]))
        files = self.run_rooted(files, {"tool.exe": tool, "wersja.txt": b"5"}, self.statements(2, 3, 4),
                                fetched=[2, 3, 4])

        # Statement 5 replaces the root set, signed by two old and two new keys; from then on a
        # statement signed by the old keys alone is refused.
        new_roots = [os.path.join(self.folder, "root%d" % number) for number in (4, 5, 6)]
        for root in new_roots:
            self.server.publish("keygen", root + ".pem", root + "-public.pem")
        self.server.publish("keys", "commit", self.propose(
            "s5", [root_key(1), root_key(2), new_roots[0] + ".pem", new_roots[1] + ".pem"],
            "--root-keys", ";".join(root + "-public.pem" for root in new_roots), "--threshold", "2"))
        self.server.publish("refresh", "--freshness-key", fresh)
        self.release(6, {"help.txt": b"help 6"}, self.release_2, fresh)
        files = self.run_rooted(files, {"help.txt": b"help 6", "wersja.txt": b"6"}, self.statements(2, 3, 4, 5),
                                fetched=[5])
        old_only = self.propose("s6", [root_key(1), root_key(2), root_key(3)])
        with self.assertRaisesRegex(RuntimeError, "0 distinct keys of the root set in force"):
            self.server.publish("keys", "commit", old_only)
        self.place(old_only, 6)
        self.release(7, {"help.txt": b"help 7"}, self.release_2, fresh)
        self.run_rooted(files, {}, self.statements(2, 3, 4, 5), fetched=[6])

        # The kept statements cut short count for nothing: three are fetched again, too few for
        # the reply's statement 5, and the next run takes the rest.
        os.remove(self.statement_path(6))
        self.server.publish("refresh", "--freshness-key", fresh)
        files[KEPT] = files[KEPT][:-40]
        files = self.run_rooted(files, {}, self.statements(2, 3, 4), fetched=[2, 3, 4])
        self.run_rooted(files, {"help.txt": b"help 7", "wersja.txt": b"7"}, self.statements(2, 3, 4, 5),
                        fetched=[5])


if __name__ == "__main__":
    unittest.main()
