"""End-to-end tests of what the network can do to a run: servers that cannot
be reached or go silent, redirects, and files answered with an error status
or a content coding. Every run must end, with the phase's own failure
message and the launcher started, and nothing wrong installed."""

import gzip

from kit.cases import ACCEPT, VERSION, DownloadTestCase, body_of
from kit.protocol import NO_UPDATES, Reply, check_path, file_url, update_list
from kit.run import BOUNDED_RUN_CAP


# Far longer than the program's bound on a wait, and than the platform's own.
SILENCE = 900


def redirect(location, status=302):
    return Reply(status=status, reason="Moved", headers=[("Location", location)])


def ended_with_no_updates(test, result):
    """The run ended with the no-updates message over its check window and
    started the launcher once; returns the window and the message."""
    test.assertEqual(result.exit_code, 0, result.describe())
    [check] = result.windows_of("check")
    [box] = result.message_boxes
    test.assertEqual(box.text, NO_UPDATES)
    test.assertIs(box.owner, check)
    test.assertEqual(len(result.menu_runs), 1)
    return check, box


class EveryRunEnds(DownloadTestCase):
    def test_an_unreachable_check_server_delays_the_application_about_ten_seconds(self):
        # Port 80 drops every connection attempt, as a firewall that drops
        # packets does: nothing but the program's own bound ends the wait.
        result = self.run_updater(VERSION, ports=(), dropping_ports=(80,), steps=["answer OK"],
                                  timeout=BOUNDED_RUN_CAP)

        check, box = ended_with_no_updates(self, result)
        [menu] = result.menu_runs
        # The check waited out its bound (the attempts were dropped, not
        # refused), and the application started about 12 s after the program.
        self.assertGreater(box.shown_t - check.shown_t, 9000, result.describe())
        self.assertLess(menu["t"] - result.start_t, 15000, result.describe())

    def test_a_file_whose_head_comes_after_the_checks_bound_still_arrives(self):
        body = body_of(3000, 5)
        routes = {check_path(7): update_list([(file_url("late.dll"), len(body))]),
                  "/files/late.dll": Reply(body=body, delay=15)}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT, timeout=BOUNDED_RUN_CAP)

        self.assert_installed(result, {"late.dll": (None, body)})

    def test_a_check_server_silent_after_accepting(self):
        result = self.run_updater(VERSION, routes={check_path(7): Reply(body=b"", delay=SILENCE)},
                                  steps=["answer OK"], timeout=BOUNDED_RUN_CAP)

        self.assertFalse(result.timed_out, result.describe())
        # The window is serviced again: its message box was answered.
        ended_with_no_updates(self, result)
        self.assertEqual([(p["kind"], p["button"]) for p in result.presses], [("message", "OK")])


# One byte every 20 s: never silent for as long as a read may wait, far
# slower than the rate floor (1 KiB/s over any 60 s), and far longer than
# any run here.
TRICKLE = dict(piece_size=1, pause=20)
TRICKLED = b"x" * 1000
# What the program's manual promises: a trickle fails within 90 s of its head.
TRICKLE_BOUND = 90000
# Cancel or a close ends the phase within this of being pressed: the next
# byte comes within 20 s.
CANCEL_BOUND = 25000


class Trickles(DownloadTestCase):
    def test_a_trickled_check_reply_fails_within_the_bound(self):
        result = self.run_updater(VERSION, routes={check_path(7): Reply(body=TRICKLED, **TRICKLE)},
                                  steps=["answer OK"], timeout=BOUNDED_RUN_CAP)

        self.assertEqual(result.exit_code, 0, result.describe())
        [box] = result.message_boxes
        self.assertEqual(box.text, NO_UPDATES)
        self.assertEqual(len(result.menu_runs), 1)
        [check] = result.requests
        self.assertLess(box.shown_t - check["t"], TRICKLE_BOUND + 5000, result.describe())

    def test_a_trickled_file_fails_within_the_bound_and_is_not_asked_for_again(self):
        routes = {check_path(7): update_list([(file_url("slow.dll"), len(TRICKLED))]),
                  "/files/slow.dll": Reply(body=TRICKLED, **TRICKLE)}
        result = self.run_updater(dict(VERSION, **{"slow.dll": b"old"}), routes=routes,
                                  steps=ACCEPT, timeout=BOUNDED_RUN_CAP)

        _, box = self.assert_failed_download(result)
        [request] = [r for r in result.requests if r["target"] == "/files/slow.dll"]
        self.assertLess(box.shown_t - request["t"], TRICKLE_BOUND + 5000, result.describe())
        self.assertEqual(self.file_requests(result), ["/files/slow.dll"])

    def test_cancel_during_a_trickled_check_reply_ends_the_check(self):
        result = self.run_updater(VERSION, routes={check_path(7): Reply(body=TRICKLED, **TRICKLE)},
                                  steps=["wait-shown check", "sleep 6000", "cancel check", "answer OK"],
                                  timeout=BOUNDED_RUN_CAP)

        _, box = ended_with_no_updates(self, result)
        [cancel, ok] = result.presses
        self.assertEqual((cancel["kind"], cancel["button"]), ("check", "CANCEL"), result.describe())
        self.assertLess(box.shown_t - cancel["t"], CANCEL_BOUND, result.describe())

    def test_closing_the_window_during_a_trickled_file_ends_the_download(self):
        routes = {check_path(7): update_list([(file_url("slow.dll"), len(TRICKLED))]),
                  "/files/slow.dll": Reply(body=TRICKLED, **TRICKLE)}
        steps = ["answer YES", "wait-shown download", "sleep 6000", "cancel download close",
                 "answer OK"]
        result = self.run_updater(dict(VERSION, **{"slow.dll": b"old"}), routes=routes,
                                  steps=steps, timeout=BOUNDED_RUN_CAP)

        _, box = self.assert_failed_download(result)
        [_, close, _] = result.presses
        self.assertEqual((close["kind"], close["how"]), ("download", "close"), result.describe())
        self.assertLess(box.shown_t - close["t"], CANCEL_BOUND, result.describe())


class WrongBytes(DownloadTestCase):
    def test_an_error_status_with_a_body_of_the_listed_length(self):
        page = b"<html><body>no such file</body></html>"
        for status in (404, 500):
            with self.subTest(status):
                routes = {check_path(7): update_list([(file_url("e.dll"), len(page))]),
                          "/files/e.dll": Reply(body=page, status=status)}
                result = self.run_updater(dict(VERSION, **{"e.dll": b"old"}), routes=routes,
                                          steps=ACCEPT)

                self.assert_failed_download(result)

    def test_a_gzip_body_listed_at_its_compressed_size(self):
        packed = gzip.compress(body_of(5000, 7))
        routes = {check_path(7): update_list([(file_url("z.dll"), len(packed))]),
                  "/files/z.dll": Reply(body=packed, headers=[("Content-Encoding", "gzip")])}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_failed_download(result)


class Redirects(DownloadTestCase):
    def test_a_redirect_is_followed_and_the_file_keeps_its_listed_name(self):
        body = body_of(2000, 8)
        routes = {check_path(7): update_list([(file_url("r.dll"), len(body))]),
                  "/files/r.dll": redirect("/store/v8/blob", status=301),
                  "/store/v8/blob": Reply(body=body)}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_installed(result, {"r.dll": (None, body)})
        self.assertEqual(self.file_requests(result), ["/files/r.dll", "/store/v8/blob"])

    def test_a_redirect_loop_fails_the_file(self):
        routes = {check_path(7): update_list([(file_url("a.dll"), 3)]),
                  "/files/a.dll": redirect("/loop/b"), "/loop/b": redirect(file_url("a.dll"))}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_failed_download(result)
        self.assertEqual(self.file_requests(result), ["/files/a.dll", "/loop/b"])


class Schemes(DownloadTestCase):
    def test_a_listed_url_of_another_scheme_fails(self):
        # Sent as http to the port it names, it would be answered and installed.
        routes = {check_path(7): update_list([("ftp://localhost:80/files/f.dll", 3)]),
                  "/files/f.dll": b"bad"}
        result = self.run_updater(VERSION, routes=routes, steps=ACCEPT)

        self.assert_failed_download(result)
        self.assertEqual(self.file_requests(result), [])
