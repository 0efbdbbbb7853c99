"""End to end through Apache: the keyed updater.exe under Wine updates from
the project's server behind the server manual's Apache site, set up on a
stock Debian machine as tests/setup/apache_site.py does, on 127.0.0.1:80 in
the test's network namespace. What Apache serves and refuses is checked by
tests/setup/test_apache_site.py."""

import os
import re
import sys

from kit.cases import ACCEPT
from kit.paths import REPO
from kit.protocol import INSTALLED, QUESTION
from kit.server_cases import PATCHED_RELEASES, ServerTestCase


APACHE_SITE = os.path.join(REPO, "tests", "setup", "apache_site.py")


class UpdatesThroughApache(ServerTestCase):
    def test_the_keyed_program_goes_from_1_to_3_by_patches_and_whole_files(self):
        for version, files in sorted(PATCHED_RELEASES.items()):
            self.release(version, files, os.environ["TEST_PRIVATE_KEY"], os.environ["TEST_FRESHNESS_KEY"])
        logs = os.path.join(self.folder, "apache-logs")
        os.makedirs(logs)
        installed = dict(PATCHED_RELEASES[1], **{"wersja.txt": b"1"})
        result = self.run_updater(installed, steps=ACCEPT, program_exe=os.environ["UPDATER_KEYED_EXE"],
                                  server_command=["unshare", "--mount", sys.executable, APACHE_SITE,
                                                  self.server.store, logs])

        self.assert_message_texts(result, [QUESTION, INSTALLED])
        newest = {**PATCHED_RELEASES[1], **PATCHED_RELEASES[2], **PATCHED_RELEASES[3]}
        self.assertEqual(result.files_after, dict(result.files_before, **newest, **{"wersja.txt": b"3"}))
        with open(os.path.join(logs, "access.log"), encoding="latin-1") as f:
            fetched = re.findall(r'"GET (/files/\S+) HTTP/1\.[01]" 200 ', f.read())
        self.assertEqual(sorted(fetched), ["/files/3/extra.bin", "/files/3/wersja.txt",
                                           "/files/patches/3/1/library.dll", "/files/patches/3/1/program.exe"])
