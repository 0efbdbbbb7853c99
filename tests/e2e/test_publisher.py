"""End-to-end tests of pinned publishers: a program or library that an
update brings is installed only when Windows accepts its Authenticode
signature and the signer's certificate, or one of its chain that vouches
for it link by link, has a key the program was built with
(UPDATE_PUBLISHER_PINS).

The certificate authority and the publishers "a" and "b" it certified are
made when the tests are built (tools/make_publishers), each program's pins
from their keys: updater_pinned.exe pins a's key, updater_pinned_two.exe a's
and b's, updater_pinned_ca.exe the authority's. The stand-in programs are
signed here with osslsigncode. The module runs in a mount namespace of its
own in which the authority is trusted (tls.py), with a Wine prefix of its
own, so that no other test sees it. Every reply is signed with the release
key: what is refused here is refused despite it."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness
import tls
from harness import Reply, check_path
from test_download import ACCEPT, DownloadTestCase
from test_patch import line, make_patch, patch_path
from test_signed import INSTALLED, QUESTION, file_routes, keyed_exe, listed, signed

INSTALLED_FILES = {"wersja.txt": b"7", "menu.exe": harness.MENU, "dane.txt": b"old data\r\n"}
folder = {}


def publishers_dir():
    return os.path.join(harness._build_dir(), "test-publishers")


def pinned_exe(variant):
    return os.path.join(os.path.dirname(keyed_exe()), "updater_%s.exe" % variant)


def setUpModule():
    os.makedirs(harness.work_root(), exist_ok=True)
    folder["work"] = tempfile.mkdtemp(prefix="publishers-", dir=harness.work_root())
    tls.trust_in_this_process(os.path.join(publishers_dir(), "ca.pem"), folder["work"])
    # Wine keeps the root certificates it has seen in its prefix.
    os.environ["E2E_WINEPREFIX"] = harness.wine_prefix() + "-publishers"
    harness.prepare_prefix(os.environ["E2E_WINEPREFIX"])


def tearDownModule():
    shutil.rmtree(folder["work"], ignore_errors=True)


def new_menu():
    """The next version of the stand-in launcher: its DOS stub says so."""
    with open(harness.menu_exe(), "rb") as f:
        data = f.read()
    stub = b"This program cannot be run in DOS mode"
    assert stub in data
    return data.replace(stub, stub.upper())


def signed_by(data, certificate, key):
    """data signed with Authenticode by osslsigncode, as a vendor signs."""
    with tempfile.TemporaryDirectory(dir=folder["work"]) as work:
        unsigned, signed_path = os.path.join(work, "in.exe"), os.path.join(work, "out.exe")
        with open(unsigned, "wb") as f:
            f.write(data)
        subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-h", "sha256",
                        "-n", "Menu", "-in", unsigned, "-out", signed_path],
                       check=True, timeout=60, capture_output=True)
        with open(signed_path, "rb") as f:
            return f.read()


def signed_by_publisher(data, name):
    return signed_by(data, os.path.join(publishers_dir(), name + ".pem"),
                     os.path.join(publishers_dir(), name + "-key.pem"))


def renewed_certificate_of_a():
    """A new certificate of publisher a, for a new key, from the same
    authority: what a renewal with a new key brings. (certificate, key)"""
    work = folder["work"]
    paths = [os.path.join(work, name) for name in ("a2.pem", "a2-key.pem", "a2.csr")]
    if not os.path.exists(paths[0]):
        authority = publishers_dir()
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=Updater test publisher a", "-keyout", paths[1], "-out", paths[2]],
                       check=True, timeout=60, capture_output=True)
        subprocess.run(["openssl", "x509", "-req", "-in", paths[2], "-CA", os.path.join(authority, "ca.pem"),
                        "-CAkey", os.path.join(authority, "ca-key.pem"), "-CAcreateserial",
                        "-days", "30", "-extfile", os.path.join(authority, "code-signing.cnf"),
                        "-out", paths[0]], check=True, timeout=60, capture_output=True)
    return paths[0], paths[1]


def as_x509_certificate(data):
    """data with its certificate table's entry typed X.509 (1), not PKCS#7."""
    optional = struct.unpack_from("<I", data, 0x3c)[0] + 24
    directories = optional + (112 if data[optional:optional + 2] == b"\x0b\x02" else 96)
    table = struct.unpack_from("<I", data, directories + 32)[0]
    return data[:table + 6] + struct.pack("<H", 1) + data[table + 8:]


def one_byte_changed(data):
    """data with one byte of the program's code changed: past the headers,
    before the signature."""
    changed = bytearray(data)
    changed[0x2000] ^= 0x01
    return bytes(changed)


class PublisherTestCase(DownloadTestCase):
    def run_program(self, program_exe, files, lines=None, routes=None):
        """One run offering files ({name: bytes}, the reply signed with the
        release key), answered Yes."""
        body = b"".join(l + b"\r\n" for l in lines) if lines else listed(files)
        all_routes = dict(file_routes(files), **(routes or {}))
        all_routes[check_path(7)] = signed(body)
        all_routes["/files/menu.exe"] = Reply(body=files.get("menu.exe", b""), delay=0.3)
        return self.run_updater(dict(INSTALLED_FILES), routes=all_routes, steps=ACCEPT,
                                program_exe=program_exe)

    def assert_new_forms(self, result, new_forms):
        """Success: the working folder exactly as before but for these new
        forms; menu.exe started."""
        self.assertEqual([w.text for w in result.message_boxes], [QUESTION, INSTALLED], result.describe())
        self.assertEqual(result.files_after, dict(result.files_before, **new_forms), result.describe())
        self.assertEqual(result.files_outside, {}, result.describe())
        self.assertEqual(len(result.menu_runs), 1, result.describe())


# What an attacker with the release key alone can offer, and that the
# pinned program must refuse: the new launcher unsigned, signed by another
# publisher, signed and then changed (its line naming the changed bytes), or
# signed by a key of their own whose certificate names a's as its issuer.
def refused_forms():
    menu = new_menu()
    return {"unsigned": menu, "signed by b": signed_by_publisher(menu, "b"),
            "changed after signing": one_byte_changed(signed_by_publisher(menu, "a")),
            "forged link to a": signed_by_publisher(menu, "forged")}


class PinnedPublisher(PublisherTestCase):
    def test_a_launcher_signed_by_the_pinned_publisher_installs_beside_a_file_that_is_no_program(self):
        menu = signed_by_publisher(new_menu(), "a")
        files = {"menu.exe": menu, "dane.txt": b"new data\r\n"}
        result = self.run_program(pinned_exe("pinned"), files)

        self.assert_new_forms(result, files)

    def test_an_unsigned_launcher_one_of_another_publisher_or_one_changed_after_signing_installs_nothing(self):
        for name, menu in refused_forms().items():
            with self.subTest(name):
                result = self.run_program(pinned_exe("pinned"), {"menu.exe": menu})

                self.assert_failed_download(result)
                self.assertNotIn("_update/", result.files_after)

    def test_a_certificate_table_of_another_type_fails_the_download_before_windows_reads_it(self):
        menu = as_x509_certificate(signed_by_publisher(new_menu(), "a"))
        result = self.run_program(pinned_exe("pinned"), {"menu.exe": menu})

        self.assert_failed_download(result)

    def test_a_launcher_made_from_a_patch_installs_when_the_result_is_signed_by_the_pinned_publisher(self):
        with open(harness.menu_exe(), "rb") as f:
            old = f.read()
        menu = signed_by_publisher(new_menu(), "a")
        patch = make_patch(old, menu)
        result = self.run_program(pinned_exe("pinned"), {"menu.exe": menu},
                                  lines=[line("menu.exe", menu, old, len(patch))],
                                  routes={patch_path("menu.exe"): patch})

        self.assert_new_forms(result, {"menu.exe": menu})
        self.assertEqual(self.file_requests(result), [patch_path("menu.exe")])


class PinsThatOutliveACertificate(PublisherTestCase):
    def test_a_pin_on_the_authoritys_key_takes_a_new_certificate_of_the_publisher(self):
        menu = signed_by(new_menu(), *renewed_certificate_of_a())
        result = self.run_program(pinned_exe("pinned_ca"), {"menu.exe": menu})

        self.assert_new_forms(result, {"menu.exe": menu})

    def test_a_spare_pin_takes_a_release_signed_by_the_second_publisher(self):
        menu = signed_by_publisher(new_menu(), "b")
        result = self.run_program(pinned_exe("pinned_two"), {"menu.exe": menu})

        self.assert_new_forms(result, {"menu.exe": menu})


class ProgramWithoutPins(PublisherTestCase):
    def test_the_same_program_built_without_pins_installs_what_the_pinned_one_refuses(self):
        files = {name.replace(" ", "_") + ".exe": data for name, data in refused_forms().items()}
        files["menu.exe"] = new_menu()
        result = self.run_program(keyed_exe(), files)

        self.assert_new_forms(result, files)


if __name__ == "__main__":
    unittest.main()
