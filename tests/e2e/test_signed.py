"""End-to-end tests of signed update lists and file hashes.

updater_keyed.exe has the throw-away test keys compiled in: it must install an
update only when the reply carries a valid signature, made with the release
key, over "produkt=<product>\\nwersja=<N>\\n" and every byte of the body, and a
freshness signature that has not expired, and every file has the SHA-256 its
line names. Anything else leaves every file as it was. The keyless updater.exe
still checks a well-formed hash that a line gives it. (Expiry, the freshness
key and the product against the project's own server: test_freshness.py.)"""

import hashlib
import os
import subprocess
import tempfile

from kit.cases import E2ETestCase
from kit.protocol import DOWNLOAD_FAILED, INSTALLED, NO_UPDATES, QUESTION, Reply, check_path, file_url
from kit.signing import SIGNATURE_HEADER, file_routes, keyed_exe, listed, signed


INSTALLED_FILES = {"wersja.txt": b"7", "prog.dll": b"old prog", "data.txt": b"old data\r\n"}
NEW_FILES = {"prog.dll": b"MZ new prog\x00\x1a\r\n" * 200, "data.txt": b"new data\r\n"}
EVIL = b"MZ evil prog\x00\x1a\r\n" * 200
EVIL_SAME_SIZE = EVIL[:len(NEW_FILES["prog.dll"])]


class SignedTestCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls._other_key_dir = tempfile.TemporaryDirectory()
        cls.other_key = os.path.join(cls._other_key_dir.name, "other.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-out", cls.other_key],
                       check=True, timeout=60, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls._other_key_dir.cleanup()

    def run_keyed(self, reply, files=None, steps=("answer YES", "answer OK"), **options):
        routes = dict(file_routes(files if files is not None else NEW_FILES))
        routes[check_path(7)] = reply
        return self.run_updater(dict(INSTALLED_FILES), routes=routes, steps=list(steps),
                                program_exe=keyed_exe(), **options)

    def assert_nothing_installed(self, result, messages):
        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
        self.assertEqual([w.text for w in result.message_boxes], messages, result.describe())
        self.assertEqual(result.changed_files(), {}, result.describe())
        self.assertEqual(result.files_outside, {}, result.describe())
        self.assertEqual(len(result.menu_runs), 1, result.describe())

    def assert_installed(self, result, files):
        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
        self.assertEqual([w.text for w in result.message_boxes], [QUESTION, INSTALLED],
                         result.describe())
        self.assertEqual(result.changed_files(),
                         {name: (INSTALLED_FILES.get(name), body) for name, body in files.items()},
                         result.describe())
        self.assertEqual(len(result.menu_runs), 1, result.describe())

    def file_requests(self, result):
        return [r["target"] for r in result.requests if r["target"].startswith("/files/")]


class KeyedProgram(SignedTestCase):
    def test_a_reply_signed_for_the_version_installs(self):
        result = self.run_keyed(signed(listed(NEW_FILES)))

        self.assert_installed(result, NEW_FILES)
        self.assertEqual([r["request_line"] for r in result.requests],
                         ["GET /upload/check_update.php?wersja=7 HTTP/1.0",
                          "GET /files/prog.dll HTTP/1.0", "GET /files/data.txt HTTP/1.0"])

    def test_a_forged_or_misdirected_reply_is_no_update_list(self):
        body = listed(NEW_FILES)
        evil_files = dict(NEW_FILES, **{"prog.dll": EVIL, "evil.exe": EVIL})
        one_byte = body.replace(b"/files/prog.dll", b"/files/evil.exe")
        evil_line = listed({"evil.exe": EVIL})
        evil_hash = listed(NEW_FILES, {"prog.dll": hashlib.sha256(EVIL).hexdigest()})
        without_hash = listed({"prog.dll": NEW_FILES["prog.dll"]}) + b"%s,%d\r\n" % (
            file_url("data.txt").encode(), len(NEW_FILES["data.txt"]))
        cases = [
            ("the body changed by one byte", signed(one_byte, signed_body=body)),
            ("a line added", signed(body + evil_line, signed_body=body)),
            ("a line removed", signed(listed({"data.txt": NEW_FILES["data.txt"]}), signed_body=body)),
            ("a hash changed", signed(evil_hash, signed_body=body)),
            ("the signature header missing", Reply(body=body)),
            ("the freshness header missing", signed(body, fresh=False)),
            ("an empty signature header", Reply(body=body, headers=[(SIGNATURE_HEADER, "")])),
            ("a signature that is not base64", Reply(body=body, headers=[(SIGNATURE_HEADER, "*" * 96)])),
            ("a signature by another key", signed(body, key=self.other_key)),
            ("a reply signed for another version", signed(body, version=6)),
            ("a valid signature over a truncated body", signed(body, signed_body=body[:-40])),
            ("a valid signature over the body with one line lacking a hash", signed(without_hash)),
        ]
        for name, reply in cases:
            with self.subTest(name):
                result = self.run_keyed(reply, files=evil_files, steps=["answer OK"])

                self.assert_nothing_installed(result, [NO_UPDATES])
                self.assertEqual(self.file_requests(result), [], result.describe())

    def test_a_file_with_other_bytes_of_the_listed_size_installs_nothing(self):
        files = dict(NEW_FILES, **{"prog.dll": EVIL_SAME_SIZE})
        result = self.run_keyed(signed(listed(NEW_FILES)), files=files)

        self.assert_nothing_installed(result, [QUESTION, DOWNLOAD_FAILED])
        self.assertNotIn("_update/", result.files_after)


class KeylessProgram(SignedTestCase):
    def run_keyless(self, body, files):
        routes = dict(file_routes(files), **{check_path(7): body})
        return self.run_updater(dict(INSTALLED_FILES), routes=routes,
                                steps=["answer YES", "answer OK"])

    def test_a_well_formed_hash_that_does_not_match_fails_the_download(self):
        files = dict(NEW_FILES, **{"data.txt": b"bad data\r\n"})
        result = self.run_keyless(listed(NEW_FILES), files)

        self.assert_nothing_installed(result, [QUESTION, DOWNLOAD_FAILED])
        self.assertEqual(self.file_requests(result), ["/files/prog.dll", "/files/data.txt"])

    def test_a_third_field_that_is_no_hash_is_ignored(self):
        prog_hash = hashlib.sha256(NEW_FILES["prog.dll"]).hexdigest()
        body = listed(NEW_FILES, {"prog.dll": prog_hash.upper(), "data.txt": "0" * 63 + "x"})
        result = self.run_keyless(body, NEW_FILES)

        self.assert_installed(result, NEW_FILES)
