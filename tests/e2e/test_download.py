"""End-to-end tests of the download: the real updater.exe fetches the offered
files from the scripted server into _update under Wine, with its download
window watched and answered by the UI driver."""

import posixpath

from kit.protocol import Reply, check_path, file_url, update_list
from kit.cases import ACCEPT, SEEN, VERSION, DownloadTestCase, body_of, offer


class SuccessfulDownload(DownloadTestCase):
    def test_one_file_arrives_byte_for_byte(self):
        body = body_of(3000, 1)
        result = self.run_updater(dict(VERSION, **{"prog.dll": b"old\r\n"}),
                                  routes=offer({"prog.dll": body}), steps=ACCEPT)

        self.assert_installed(result, {"prog.dll": (b"old\r\n", body)})
        self.assertEqual([r["request_line"] for r in result.requests],
                         ["GET /upload/check_update.php?wersja=7 HTTP/1.0", "GET /files/prog.dll HTTP/1.0"])
        [download] = result.windows_of("download")
        self.assertEqual(download.file_names()[-1], "prog.dll")

    def test_five_files_move_both_bars(self):
        # Five pieces of 1024 bytes per file, with pauses, so that the driver
        # sees the bars between reads; the delay before each file keeps the
        # previous file's last position up long enough to be seen.
        names = ["f%d.bin" % i for i in range(5)]
        bodies = {name: body_of(5 * 1024, i) for i, name in enumerate(names)}
        routes = offer(bodies)
        for name in names:
            routes["/files/" + name] = Reply(body=bodies[name], piece_size=1024, pause=0.05, delay=SEEN)
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_installed(result, {name: (None, body) for name, body in bodies.items()})
        self.assertEqual(self.file_requests(result), ["/files/" + name for name in names])
        [download] = result.windows_of("download")
        # Before its range is set a bar has the default 0..100.
        self.assertEqual([b for b in download.bar(1003) if b != (0, 0, 100)],
                         [(0, 0, 5), (1, 0, 5), (2, 0, 5), (3, 0, 5), (4, 0, 5)], result.describe())
        file_bar = download.bar(1001)
        self.assertEqual({(low, high) for _, low, high in file_bar}, {(0, 100)})
        self.assertGreaterEqual([pos for pos, _, _ in file_bar].count(100), 4, file_bar)
        self.assertEqual([n for n in download.file_names() if n != "Static"], names)

    def test_the_name_is_the_last_part_of_the_url_path(self):
        body = body_of(1500, 2)
        routes = {check_path(7): update_list([("http://localhost/a/b/setup.exe", len(body))]),
                  "/a/b/setup.exe": Reply(body=body, delay=SEEN), "/files/setup.exe": b"wrong"}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_installed(result, {"setup.exe": (None, body)})
        self.assertEqual(self.file_requests(result), ["/a/b/setup.exe"])
        [download] = result.windows_of("download")
        self.assertEqual(download.file_names()[-1], "setup.exe")

    def test_of_two_urls_with_the_same_name_the_later_wins(self):
        routes = {check_path(7): update_list([("http://localhost/v1/same.txt", 5),
                                              ("http://localhost/v2/same.txt", 3)]),
                  "/v1/same.txt": b"first", "/v2/same.txt": b"2nd"}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_installed(result, {"same.txt": (None, b"2nd")})
        self.assertEqual(self.file_requests(result), ["/v1/same.txt", "/v2/same.txt"])

    def test_an_announced_size_of_zero_with_an_empty_body(self):
        result = self.run_updater(dict(VERSION, **{"empty.txt": b"old contents"}),
                                  routes=offer({"empty.txt": b"", "next.txt": b"n"}), steps=ACCEPT)

        self.assert_installed(result, {"empty.txt": (b"old contents", b""), "next.txt": (None, b"n")})

    def test_a_leftover_update_folder_is_cleared_first(self):
        leftover = {"_update/stale.dll": b"stale", "_update/prog.dll": b"stale prog",
                    "_update/sub/deeper/x.txt": b"x", "_update/empty/": None}
        result = self.run_updater(dict(VERSION, **leftover), routes=offer({"prog.dll": b"new"}),
                                  steps=ACCEPT)

        # stale.dll would have been installed with the update had it stayed.
        expected = {name: ("folder" if data is None else data, None)
                    for name, data in result.files_before.items() if name.startswith("_update/")}
        self.assertEqual(len(expected), 7)
        expected["prog.dll"] = (None, b"new")
        self.assert_installed(result, expected)

    def test_the_port_of_the_url_is_used(self):
        result = self.run_updater(VERSION, routes=offer({"p.dll": b"from 8080"}, port=8080),
                                  ports=(80, 8080), steps=ACCEPT)

        self.assert_installed(result, {"p.dll": (None, b"from 8080")})
        self.assertEqual([(r["target"], r["port"]) for r in result.requests],
                         [(check_path(7), 80), ("/files/p.dll", 8080)])


class FailedDownload(DownloadTestCase):
    def test_a_body_of_another_size_than_announced(self):
        announced = 2048
        cases = [
            ("one byte more", Reply(body=body_of(announced + 1, 3))),
            ("one byte more, without Content-Length", Reply(body=body_of(announced + 1, 3), content_length=None)),
            ("one byte fewer", Reply(body=body_of(announced - 1, 3))),
        ]
        for name, reply in cases:
            with self.subTest(name):
                routes = {check_path(7): update_list([(file_url("a.dll"), 3), (file_url("b.dll"), announced)]),
                          "/files/a.dll": b"aaa", "/files/b.dll": reply}
                result = self.run_updater(dict(VERSION, **{"b.dll": b"old"}), routes=routes, steps=ACCEPT)

                download, _ = self.assert_failed_download(result)
                self.assertEqual(self.file_requests(result), ["/files/a.dll", "/files/b.dll"])
                self.assertEqual(download.file_names()[-1], "b.dll")

    def test_an_endless_body_is_given_up_once_longer_than_announced(self):
        routes = {check_path(7): update_list([(file_url("big.dll"), 10000)]),
                  "/files/big.dll": Reply(body=body_of(4096, 4), content_length=None, endless=True,
                                          max_seconds=60)}
        # The message stays up a while, so that the server sees the client go
        # away while the program still runs: the transfer closed its
        # connection, not the end of the process.
        result = self.run_updater(VERSION, routes=routes, steps=["answer YES", "wait-shown message",
                                                                 "sleep 1000", "answer OK"])

        self.assertFalse(result.timed_out, result.describe())
        _, box = self.assert_failed_download(result)
        [request] = [r for r in result.requests if r["target"] == "/files/big.dll"]
        self.assertTrue(request["ended"].startswith("client gone"), request)
        self.assertLess(request["done_t"], box.gone_t)

    def test_cancel_during_the_third_of_five_files(self):
        names = ["f%d.bin" % i for i in range(5)]
        bodies = {name: body_of(40 * 1024 if name == "f2.bin" else 2048, i) for i, name in enumerate(names)}
        routes = offer(bodies)
        routes["/files/f2.bin"] = Reply(body=bodies["f2.bin"], piece_size=1024, pause=0.1)
        result = self.run_updater(
            dict(VERSION, **{"f0.bin": b"old 0"}), routes=routes,
            steps=["answer YES", "cancel download when-overall 2 when-file f2.bin", "sleep 1000", "answer OK"])

        download, box = self.assert_failed_download(result)
        self.assertEqual([(p["kind"], p["button"]) for p in result.presses],
                         [("message", "YES"), ("download", "CANCEL"), ("message", "OK")])
        self.assertEqual(result.presses[1]["win"], download.win)
        self.assertEqual(self.file_requests(result), ["/files/f0.bin", "/files/f1.bin", "/files/f2.bin"])
        [third] = [r for r in result.requests if r["target"] == "/files/f2.bin"]
        self.assertTrue(third["ended"].startswith("client gone"), third)
        self.assertLess(third["sent"], 40 * 1024)
        self.assertLess(third["done_t"], box.gone_t)


def request_targets(path):
    """Where a request for this URL path may go: as written, and as WinINet
    sends it (backslashes as slashes, dot segments resolved, control
    characters dropped; a path that climbs above the root becomes "/")."""
    sent = posixpath.normpath("".join(c for c in path.replace("\\", "/") if ord(c) >= 0x20))
    return {path, sent, sent + "/", "/"}


class HostileServer(DownloadTestCase):
    def test_names_that_leave_update_or_that_windows_alters_fail(self):
        # Each name is served, so that a program that staged it would get the
        # whole file and go on to install it.
        names = ["", ".", "..", "..\\..\\x", "..\\evil.dll", "a\\b", "c:x", "x:", "a<b", "a>b", 'a"b',
                 "a|b", "a*b", "a?b", "tab\there", "a\x01b", "menu.exe.", "CON", "nul.txt", "AUX",
                 "PRN.log", "com1", "LPT9.dll"]
        for name in names:
            with self.subTest(repr(name)):
                path = "/files/" + name
                routes = {check_path(7): update_list([("http://localhost" + path, 3)])}
                routes.update({target: b"bad" for target in request_targets(path)})
                result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

                download, _ = self.assert_failed_download(result)
                self.assertEqual(self.file_requests(result), [])
                # The name was split off the URL as it stands in it.
                self.assertEqual(download.file_names()[-1], name)

    def test_urls_that_cannot_be_split_or_name_no_host_fail(self):
        for url in ["localhost/files/x.dll", "http:///files/x.dll", "http:", "http://"]:
            with self.subTest(url):
                routes = {check_path(7): update_list([(url, 3)]), "/files/x.dll": b"bad"}
                result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

                self.assert_failed_download(result)
                self.assertEqual(self.file_requests(result), [])

    def test_a_port_nobody_listens_on_is_not_replaced_by_the_default(self):
        result = self.run_updater(VERSION, routes=offer({"p.dll": b"bad"}, port=8081), steps=ACCEPT)

        self.assert_failed_download(result)
        self.assertEqual(self.file_requests(result), [])

    def test_a_file_that_cannot_be_staged_fails_the_download(self):
        # Longer than any file name may be, in Windows and on the host.
        name = "n" * 300 + ".dll"
        result = self.run_updater(VERSION, routes=offer({"ok.dll": b"ok", name: b"new"}), steps=ACCEPT)

        download, _ = self.assert_failed_download(result)
        self.assertEqual(self.file_requests(result), ["/files/ok.dll", "/files/" + name])
        self.assertEqual(download.file_names()[-1], name)
