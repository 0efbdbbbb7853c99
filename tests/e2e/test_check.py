"""End-to-end tests of the update check: the request made for the installed
version, the reading of the server's reply, every way the check can fail, and
the question to the user, each against the real updater.exe and the scripted
update server."""

import unittest

import harness
from harness import MB_OK, MB_YESNO, Reply, check_path, file_url, update_list, wine_path

NO_UPDATES = "Brak aktualizacji do pobrania."
QUESTION = "Są nowe aktualizacje, czy chcesz je pobrać?"
INSTALLED = "Aktualizacja została zainstalowana pomyślnie."
IDOK, IDYES, IDNO = 1, 6, 7

REPLY_LIMIT = 16 * 1024 * 1024

# A well-formed reply offering one file: where a test expects the
# no-updates message, this is what the program would offer had it taken a
# failed or cut-short reply for a good one.
OFFER = update_list([(file_url("a.txt"), 3)])


def padded_offer(size):
    """An update list of exactly size bytes: offer lines, then blanks that the
    whole-body trim removes."""
    line = OFFER + b"\r\n"
    body = line * (size // len(line) - 1)
    return body + b" " * (size - len(body))


def slow(body):
    """A reply that trickles out 1 KiB per fifth of a second, over and over
    and with no length, until the client goes: a Cancel, however late it
    comes, arrives while the body is still being read."""
    return Reply(body=body, piece_size=1024, pause=0.2, content_length=None, endless=True, max_seconds=60)


class CheckTestCase(harness.E2ETestCase):
    def run_check(self, version_file=b"7", routes=None, steps=("answer OK",), **options):
        files = {} if version_file is None else {"wersja.txt": version_file}
        return self.run_updater(files, routes=routes, steps=list(steps), **options)

    def assert_check_ended_with(self, result, text, buttons):
        """The run shows the check window and exactly one box, owned by it,
        with that text and those buttons; the check window stays on screen
        behind the box and is gone once it is answered, before menu.exe
        starts; nothing in the folder changes."""
        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
        self.assertEqual(result.step_errors, [], result.describe())
        # A check that ends within one look of the driver shows it both
        # windows at once, the box first: hence no order and owner_hwnd.
        self.assertEqual(sorted(w.kind for w in result.windows), ["check", "message"], result.describe())
        [check], [box] = result.windows_of("check"), result.message_boxes
        self.assertEqual((check.caption, check.owner_hwnd), ("Aktualizacja", None))
        self.assertEqual((box.caption, box.text, box.buttons, box.owner_hwnd),
                         ("Uwaga!", text, buttons, check.hwnd))
        self.assertIsNotNone(box.gone_t, result.describe())
        self.assertIsNotNone(check.gone_t, result.describe())
        self.assertLess(check.shown_t, box.gone_t)
        self.assertGreater(check.gone_t, box.shown_t)
        self.assertLessEqual(check.gone_t, result.exit_t)
        self.assertEqual(result.changed_files(), {})
        self.assert_menu_started_once(result)

    def assert_menu_started_once(self, result):
        [menu] = result.menu_runs
        self.assertEqual(menu["command_line"], "menu.exe")
        self.assertEqual(menu["cwd"].lower(), wine_path(result.work_dir).lower())
        self.assertEqual(menu["windows"], [], "menu.exe started while a window was on screen")

    def assert_requested(self, result, targets):
        self.assertEqual([r["target"] for r in result.requests], targets, result.describe())


class CheckRequest(CheckTestCase):
    def test_the_request_asks_for_the_version_read_from_the_version_file(self):
        cases = [
            ("decimal", b"7", 7),
            ("a leading zero reads octal", b"010", 8),
            ("8 is no octal digit", b"08", -1),
            ("negative, sent with its sign", b"-5", -5),
            ("hexadecimal extends the sign of its first digit", b"0xff", -1),
            ("hexadecimal led by a zero digit", b"0x0ff", 255),
            ("white space around the word", b"  42\r\n", 42),
            ("only the first word counts", b"12 34\r\n", 12),
            ("not a number", b"wersja", -1),
        ]
        for name, content, version in cases:
            with self.subTest(name, content=content):
                result = self.run_check(content)

                self.assert_check_ended_with(result, NO_UPDATES, [IDOK])
                [request] = result.requests
                self.assertEqual(request["request_line"],
                                 "GET /upload/check_update.php?wersja=%d HTTP/1.0" % version)
                self.assertEqual(request["port"], 80)
                self.assertIn(["User-Agent", "Tervalisk"], request["headers"])
                self.assertIn(["Host", "localhost"], request["headers"])

    def test_a_version_file_that_cannot_be_read_asks_for_minus_one(self):
        cases = [
            ("a folder of that name", {"wersja.txt/": None}, {}),
            ("held open by another program", {"wersja.txt": b"7"}, {"hold_files": ["wersja.txt"]}),
        ]
        for name, files, options in cases:
            with self.subTest(name):
                result = self.run_updater(files, steps=["answer OK"], **options)

                self.assert_check_ended_with(result, NO_UPDATES, [IDOK])
                self.assert_requested(result, [check_path(-1)])

    def test_no_request_without_a_version(self):
        # Offers for the versions a wrong reading would ask for: a request
        # would lead to the question, which the step "answer OK" cannot answer.
        routes = {check_path(0): OFFER, check_path(-1): OFFER}
        cases = [
            ("missing", None),
            ("empty", b""),
            ("white space only", b" \r\n\t \r\n"),
            ("zero", b"0"),
        ]
        for name, content in cases:
            with self.subTest(name):
                result = self.run_check(content, routes)

                self.assert_check_ended_with(result, NO_UPDATES, [IDOK])
                self.assertEqual(result.requests, [])


def cancel_steps(how):
    """Cancel pressed in the check window once the body is on its way."""
    return ["wait-shown check", "sleep 600", "cancel check " + how, "answer OK"]


class CheckFailures(CheckTestCase):
    def test_every_failure_ends_in_the_no_updates_message(self):
        cut_reply = OFFER + b"\r\n" + b" " * 8192
        html_page = (b"<html>\r\n<head><title>404 Not Found</title></head>\r\n"
                     b"<body><p>Sorry, no such page.</p></body>\r\n</html>\r\n")
        # (name, reply to the check, run options, whether the request is made,
        # whether the reply may go out to its end)
        cases = [
            ("nothing listens on port 80", OFFER, {"ports": (8080,)}, False, True),
            ("the server closes without an answer", Reply(raw_head=b""), {}, True, True),
            ("the server answers garbage", Reply(raw_head=b"\x00\x01 garbage\r\n\r\n"), {}, True, True),
            # Wine reports a reset now as a failed read, now as the end of the
            # body; the cut lies before the first comma so that what arrived
            # is no update list either way.
            ("the connection is reset inside the body",
             Reply(body=cut_reply, piece_size=8, pause=0.05, drop_after=20), {}, True, False),
            # Wine takes an orderly close as the end of the body, whatever
            # the Content-Length said.
            ("the list ends short of its announced length",
             Reply(body=OFFER, content_length=len(OFFER) + 50), {}, True, True),
            ("Cancel pressed while the body arrives", slow(cut_reply),
             {"steps": cancel_steps("button")}, True, False),
            ("Esc pressed while the body arrives", slow(cut_reply),
             {"steps": cancel_steps("esc")}, True, False),
            ("the window closed while the body arrives", slow(cut_reply),
             {"steps": cancel_steps("close")}, True, False),
            ("a body of white space only", b" \r\n\t\r\n\r\n  ", {"trace_message_boxes": True}, True, True),
            ("an error page", Reply(status=404, reason="Not Found", body=html_page), {}, True, True),
            # What an error page holds counts for nothing, an update list included.
            ("an update list sent with status 404", Reply(status=404, reason="Not Found", body=OFFER),
             {}, True, True),
            ("an update list sent by a proxy asking for credentials",
             Reply(status=407, reason="Proxy Authentication Required", body=OFFER), {}, True, True),
            ("an offer followed by a line without a comma",
             OFFER + b"\r\n<!-- 0.02 s -->\r\n", {}, True, True),
            ("a body one byte past 16 MiB", padded_offer(REPLY_LIMIT + 1), {}, True, True),
            ("a body without end", Reply(body=(OFFER + b"\r\n") * 1024, content_length=None,
                                         endless=True, max_seconds=60), {}, True, False),
        ]
        for name, reply, options, requested, may_complete in cases:
            with self.subTest(name):
                result = self.run_check(b"7", {check_path(7): reply}, **options)

                self.assert_check_ended_with(result, NO_UPDATES, [IDOK])
                self.assert_requested(result, [check_path(7)] if requested else [])
                if not may_complete:
                    self.assertNotEqual(result.requests[0]["ended"], "complete", result.describe())
                if options.get("trace_message_boxes"):
                    [call] = result.message_box_calls
                    self.assertEqual((call["owner_win"], call["text"], call["caption"], call["flags"]),
                                     (result.windows_of("check")[0], NO_UPDATES, "Uwaga!", MB_OK))


class CheckReplies(CheckTestCase):
    def test_a_reply_with_entries_leads_to_the_question_and_no_ends_the_run(self):
        cases = [
            ("one entry", OFFER, {"trace_message_boxes": True}),
            ("a body of exactly 16 MiB", padded_offer(REPLY_LIMIT), {}),
        ]
        for name, reply, options in cases:
            with self.subTest(name):
                result = self.run_check(b"7", {check_path(7): reply, "/files/a.txt": b"new"},
                                        steps=["answer NO"], **options)

                self.assert_check_ended_with(result, QUESTION, [IDYES, IDNO])
                self.assertEqual(result.presses[0]["button"], "NO")
                self.assertEqual(result.windows_of("download"), [])
                self.assertNotIn("_update/", result.files_after)
                self.assert_requested(result, [check_path(7)])
                if options.get("trace_message_boxes"):
                    [call] = result.message_box_calls
                    self.assertEqual((call["owner_win"], call["text"], call["caption"], call["flags"]),
                                     (result.windows_of("check")[0], QUESTION, "Uwaga!", MB_YESNO))

    def assert_installed(self, result, targets, files):
        """Yes to the question: the download asked for exactly these files
        and the run ended in the success message."""
        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.describe())
        # The download window of a few bytes comes and goes between two looks
        # of the driver, which may then see it only half (as a window without
        # controls), so only the message boxes are compared.
        check = result.windows_of("check")[0]
        self.assertEqual([(w.text, w.owner_hwnd) for w in result.message_boxes],
                         [(QUESTION, check.hwnd), (INSTALLED, None)], result.describe())
        self.assert_requested(result, [check_path(7)] + targets)
        self.assertEqual(result.changed_files(), {name: (None, data) for name, data in files.items()})
        self.assert_menu_started_once(result)


if __name__ == "__main__":
    unittest.main()
