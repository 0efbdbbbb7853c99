"""End-to-end tests of files fetched over https from a loopback server whose
certificate a throw-away authority signed. This module runs in a mount
namespace of its own in which that authority is trusted (tls.py), with a
Wine prefix of its own, so that no other test sees the authority."""

import os
import shutil
from unittest import mock

from kit import tls
from kit.cases import ACCEPT, VERSION, DownloadTestCase, body_of
from kit.paths import driver_exe, wine_prefix, work_root
from kit.protocol import Reply, check_path, file_url, update_list
from kit.record import read_json_lines
from kit.wine import prepare_prefix


authorities = {}


def setUpModule():
    folder = os.path.join(work_root(), "tls")
    shutil.rmtree(folder, ignore_errors=True)
    authorities["trusted"] = tls.make_authority(folder, "trusted")
    authorities["unknown"] = tls.make_authority(folder, "unknown")
    tls.trust_in_this_process(authorities["trusted"]["ca"], folder)
    # Wine keeps the root certificates it has seen in its prefix.
    prepare_prefix(wine_prefix() + "-tls")


def https_url(path):
    return "https://localhost" + path


def redirect(location):
    return Reply(status=302, reason="Found", headers=[("Location", location)])


class HttpsTestCase(DownloadTestCase):
    def run_https(self, routes, authority="trusted"):
        server = {"ports": [443], "certificate": authorities[authority]["certificate"],
                  "key": authorities[authority]["key"]}
        return self.run_updater(VERSION, routes=routes, steps=ACCEPT, tls=server)

    def requests_by_port(self, result, check_too=False):
        return [(r["target"], r["port"]) for r in result.requests
                if check_too or not r["target"].startswith("/upload/")]


class CheckOverHttps(HttpsTestCase):
    def test_a_program_built_for_an_https_server_checks_over_tls(self):
        # Built beside the UI driver by tests/tools.
        program = os.path.join(os.path.dirname(driver_exe()), "updater_https.exe")
        body = body_of(1200, 11)
        with mock.patch.dict(os.environ, {"UPDATER_EXE": program}):
            result = self.run_https({check_path(7): update_list([(file_url("h.dll"), len(body))]),
                                     "/files/h.dll": body})

        self.assert_installed(result, {"h.dll": (None, body)})
        self.assertEqual(self.requests_by_port(result, check_too=True),
                         [(check_path(7), 443), ("/files/h.dll", 80)])


class FilesOverHttps(HttpsTestCase):
    def tls_connections(self, result):
        return [e for e in read_json_lines(os.path.join(result.run_dir, "requests.jsonl"))
                if e["ev"] == "tls"]

    def test_a_listed_https_url_is_fetched_over_tls(self):
        body = body_of(3000, 9)
        result = self.run_https({check_path(7): update_list([(https_url("/files/s.dll"), len(body))]),
                                 "/files/s.dll": body})

        self.assert_installed(result, {"s.dll": (None, body)})
        self.assertEqual(self.requests_by_port(result), [("/files/s.dll", 443)])

    def test_a_certificate_of_an_unknown_authority_is_refused(self):
        result = self.run_https({check_path(7): update_list([(https_url("/files/s.dll"), 3)]),
                                 "/files/s.dll": b"bad"}, authority="unknown")

        self.assert_failed_download(result)
        # The program reached the server and sent nothing once it had seen the certificate.
        self.assertNotEqual(self.tls_connections(result), [], result.describe())
        self.assertEqual(self.requests_by_port(result), [])

    def test_a_redirect_from_http_to_https_is_followed(self):
        body = body_of(2500, 10)
        result = self.run_https({check_path(7): update_list([("http://localhost/plain/r.dll", len(body))]),
                                 "/plain/r.dll": redirect(https_url("/files/r.dll")),
                                 "/files/r.dll": body})

        self.assert_installed(result, {"r.dll": (None, body)})
        self.assertEqual(self.requests_by_port(result), [("/plain/r.dll", 80), ("/files/r.dll", 443)])

    def test_a_redirect_from_https_to_http_is_refused(self):
        result = self.run_https({check_path(7): update_list([(https_url("/files/d.dll"), 3)]),
                                 "/files/d.dll": redirect("http://localhost/plain/d.dll"),
                                 "/plain/d.dll": b"bad"})

        self.assert_failed_download(result)
        self.assertEqual(self.requests_by_port(result), [("/files/d.dll", 443)])
