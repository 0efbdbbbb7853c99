"""End to end: replies that go stale, and replies of another product.

updater_keyed.exe (the throw-away test keys compiled in, its product the
build's default, "localhost") updates from the project's own server
(server/publish, nginx + PHP-FPM with the server manual's blocks). Each reply below
is genuine in every other way: an expired one (published with the server's
clock a month back, under libfaketime), one whose freshness signature is by
another key, one signed for another product on the same host with the same
release key. Each installs nothing, ends with the no-updates message and
starts menu.exe; a refresh brings the expired store back to life."""

import os
import time

from kit.cases import ACCEPT
from kit.protocol import INSTALLED, NO_UPDATES, QUESTION
from kit.server_cases import RELEASES, ServerTestCase, installed_at_1, newest


# A month back: replies published then, valid for the default seven days, expired three weeks ago.
A_MONTH_AGO = "-30d"


def now_stamp():
    return time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())


class StaleReplies(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.other_freshness_key = self.freshness_key
        self.key = os.environ["TEST_PRIVATE_KEY"]
        self.freshness_key = os.environ["TEST_FRESHNESS_KEY"]

    def run_keyed(self, files, steps):
        return self.run_against_server(files, steps, program_exe=os.environ["UPDATER_KEYED_EXE"])

    def expiry(self, version):
        with open(os.path.join(self.server.store, "replies", "%s.reply" % version), "rb") as f:
            return f.read().split(b"\n", 2)[1].split(b" ")[0].decode()

    def check_requests(self):
        return [r["request_line"] for r in self.server.requests() if "check_update.php" in r["request_line"]]

    def assert_nothing_installed(self, result):
        self.assert_message_texts(result, [NO_UPDATES])
        self.assertEqual(result.changed_files(), {}, self.describe(result))
        self.assertEqual(self.file_requests(), [], self.describe(result))

    def test_an_expired_reply_installs_nothing_until_a_refresh_renews_it(self):
        self.release_all(clock=A_MONTH_AGO)
        self.assertLess(self.expiry(1), now_stamp())

        self.assert_nothing_installed(self.run_keyed(installed_at_1(), ["answer OK"]))

        self.server.publish("refresh", "--freshness-key", self.freshness_key)
        self.assertGreater(self.expiry(1), now_stamp())
        result = self.run_keyed(installed_at_1(), ACCEPT)
        self.assert_message_texts(result, [QUESTION, INSTALLED])
        expected = {name: (RELEASES[1].get(name), data) for name, (_, data) in newest(2, 3).items()}
        expected["wersja.txt"] = (b"1", b"3")
        self.assertEqual(result.changed_files(), expected, self.describe(result))

    def test_an_expired_repair_reply_to_a_damaged_version_file_installs_nothing(self):
        self.release_all(clock=A_MONTH_AGO)
        self.assertLess(self.expiry(-1), now_stamp())
        files = installed_at_1()
        files["wersja.txt"] = b"abc"

        self.assert_nothing_installed(self.run_keyed(files, ["answer OK"]))
        self.assertEqual(self.check_requests(), ["GET /upload/check_update.php?wersja=-1 HTTP/1.0"])

    def test_a_genuine_release_signature_with_a_freshness_signature_by_another_key_installs_nothing(self):
        self.release_all(freshness_key=self.other_freshness_key)
        self.assertGreater(self.expiry(1), now_stamp())

        self.assert_nothing_installed(self.run_keyed(installed_at_1(), ["answer OK"]))

    def test_a_reply_of_another_product_on_the_same_host_installs_nothing(self):
        # The same keys, host and version; only the product differs.
        self.server.configure("product = other-product")
        output = self.release(1, RELEASES[1])
        self.assertIn("signed for product other-product", output)
        for version in (2, 3):
            self.release(version, RELEASES[version])

        self.assert_nothing_installed(self.run_keyed(installed_at_1(), ["answer OK"]))
        self.assertEqual(self.check_requests(), ["GET /upload/check_update.php?wersja=1 HTTP/1.0"])
