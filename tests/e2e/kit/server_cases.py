"""The base case of runs against the project's own update server
(kit.reference_server), and the releases they publish."""

import os
import random
import shutil
import tempfile

from kit.cases import E2ETestCase
from kit.folders import write_files
from kit.paths import work_root
from kit.reference_server import ReferenceServer


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


class ServerTestCase(E2ETestCase):
    def setUp(self):
        os.makedirs(work_root(), exist_ok=True)
        self.folder = tempfile.mkdtemp(prefix="server-", dir=work_root())
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
        write_files(folder, files)
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
