"""End-to-end tests through a real HTTP proxy (squid, proxy.py), set up the
way Windows users have it: the Internet Settings proxy values in the Wine
prefix's registry, which WinINet's pre-configured access reads. The check,
http files and https files (through CONNECT) go through it; a proxy that
asks for credentials or that is down ends the phase with its own message.
This module has a Wine prefix of its own (the proxy values stay in it) and
runs in a mount namespace of its own in which a test authority is trusted
(tls.py)."""

import os
import shutil

from kit import proxy, tls
from kit.cases import ACCEPT, VERSION, DownloadTestCase, body_of
from kit.paths import wine_prefix, work_root
from kit.protocol import NO_UPDATES, Reply, check_path, file_url, update_list
from kit.run import BOUNDED_RUN_CAP
from kit.wine import prepare_prefix


authority = {}
PROXY = "127.0.0.1:%d" % proxy.PORT
# A proxy whose port drops every connection attempt.
SILENT_PORT = 3129


def setUpModule():
    folder = os.path.join(work_root(), "proxy-tls")
    shutil.rmtree(folder, ignore_errors=True)
    authority.update(tls.make_authority(folder, "proxied"))
    tls.trust_in_this_process(authority["ca"], folder)
    prepare_prefix(wine_prefix() + "-proxy")
    proxy.use_proxy(PROXY)


def https_url(path):
    return "https://localhost" + path


class ProxyTestCase(DownloadTestCase):
    def run_proxied(self, mode, routes, steps=ACCEPT, **options):
        folder = os.path.join(work_root(), "proxy-" + self.id().rsplit(".", 1)[-1])
        shutil.rmtree(folder, ignore_errors=True)
        self.addCleanup(shutil.rmtree, folder, True)
        server = {"ports": [443], "certificate": authority["certificate"], "key": authority["key"]}
        result = self.run_updater(VERSION, routes=routes, steps=steps, tls=server, timeout=BOUNDED_RUN_CAP,
                                  side_commands=[proxy.command(folder, mode)], **options)
        return result, proxy.access_log(folder)

    def assert_all_through_the_proxy(self, result):
        for request in result.requests:
            via = [value for name, value in request["headers"] if name.lower() == "via"]
            self.assertTrue(via and "squid" in via[0], request["head"])


class ThroughTheProxy(ProxyTestCase):
    def test_the_check_and_an_http_file_go_through_the_proxy(self):
        body = body_of(20000, 21)
        routes = {check_path(7): update_list([(file_url("p.dll"), len(body))]), "/files/p.dll": body}
        result, log = self.run_proxied("open", routes)

        self.assert_installed(result, {"p.dll": (None, body)})
        self.assertEqual([r["target"] for r in result.requests], [check_path(7), "/files/p.dll"])
        self.assert_all_through_the_proxy(result)
        self.assertEqual(len(log), 2, log)

    def test_an_https_file_goes_through_a_tunnel(self):
        body = body_of(20000, 22)
        routes = {check_path(7): update_list([(https_url("/files/s.dll"), len(body))]),
                  "/files/s.dll": body}
        result, log = self.run_proxied("open", routes)

        self.assert_installed(result, {"s.dll": (None, body)})
        self.assertEqual([(r["target"], r["port"]) for r in result.requests],
                         [(check_path(7), 80), ("/files/s.dll", 443)])
        self.assertTrue(any(" CONNECT localhost:443 " in line for line in log), log)

    def test_a_file_cut_short_is_continued_through_the_proxy(self):
        body = body_of(100 * 1024, 23)
        routes = {check_path(7): update_list([(file_url("c.dll"), len(body))]),
                  "/files/c.dll": [Reply(body=body, drop_after=len(body) // 2, drop_how="close",
                                         headers=[("ETag", '"c1"')]),
                                   Reply(body=body, ranges=True, headers=[("ETag", '"c1"')])]}
        result, _ = self.run_proxied("open", routes)

        self.assert_installed(result, {"c.dll": (None, body)})
        ranges = [[v for n, v in r["headers"] if n.lower() == "range"] for r in result.requests
                  if r["target"] == "/files/c.dll"]
        self.assertEqual(ranges, [[], ["bytes=%d-" % (len(body) // 2)]])


class ProxyRefuses(ProxyTestCase):
    def test_a_proxy_asking_for_credentials_at_the_check(self):
        routes = {check_path(7): update_list([(file_url("n.dll"), 3)]), "/files/n.dll": b"new"}
        result, log = self.run_proxied("login", routes, steps=["answer OK"])

        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual([b.text for b in result.message_boxes], [NO_UPDATES])
        self.assertEqual(result.requests, [])
        self.assertTrue(log and all(" TCP_DENIED/407 " in line for line in log), log)
        self.assertEqual(result.changed_files(), {})
        self.assertEqual(len(result.menu_runs), 1)

    def test_a_proxy_asking_for_credentials_for_the_files(self):
        body = body_of(3000, 24)
        routes = {check_path(7): update_list([(file_url("n.dll"), len(body))]), "/files/n.dll": body}
        result, log = self.run_proxied("login-for-files", routes)

        self.assert_failed_download(result)
        self.assertEqual([r["target"] for r in result.requests], [check_path(7)])
        self.assertTrue(any(" TCP_DENIED/407 " in line and "/files/n.dll" in line for line in log), log)

    def test_a_proxy_that_is_down(self):
        proxy.use_proxy("127.0.0.1:%d" % SILENT_PORT)
        self.addCleanup(proxy.use_proxy, PROXY)
        routes = {check_path(7): update_list([(file_url("n.dll"), 3)]), "/files/n.dll": b"new"}
        result = self.run_updater(VERSION, routes=routes, dropping_ports=(SILENT_PORT,),
                                  steps=["answer OK"], timeout=BOUNDED_RUN_CAP)

        self.assertEqual(result.exit_code, 0, result.describe())
        self.assertEqual([b.text for b in result.message_boxes], [NO_UPDATES])
        self.assertEqual(result.requests, [])
        self.assertEqual(result.changed_files(), {})
        [menu] = result.menu_runs
        # The check's own bound (10 s), as for a server that cannot be reached.
        self.assertLess(menu["t"] - result.start_t, 15000, result.describe())
