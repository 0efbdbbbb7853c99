"""End-to-end tests of a file whose transfer is cut: the rest is asked for
with a Range under the first answer's validator and the file installs
exactly right; a server that does not
answer with exactly the rest has the file started over; bytes that do not
make up the listed file are never installed."""

import hashlib
import unittest

from harness import Reply, check_path, file_url, update_list
from test_download import ACCEPT, VERSION, DownloadTestCase, body_of

NAME = "big.dll"
TARGET = "/files/" + NAME
SIZE = 100 * 1024
# Pieces with pauses, so that the driver sees the file bar move.
PACE = dict(piece_size=4096, pause=0.02)
# Longer than a read may wait for the body (30 s).
STALL = 40
RUN_CAP = 150


def point(percent):
    return SIZE * percent // 100


# The first answer's validator, which a continuation names in If-Range.
ETAG = '"aaaa"'
VALIDATED = [("ETag", ETAG), ("Last-Modified", "Tue, 01 Apr 2025 10:00:00 GMT")]

# Closed in good order after half the file: the rest is asked for from
# exactly there.
HALF_THEN_CLOSED = dict(drop_after=SIZE // 2, drop_how="close", headers=VALIDATED, **PACE)


def offered(body):
    """The check's reply listing the file with its size and SHA-256."""
    line = "%s,%d,%s" % (file_url(NAME), len(body), hashlib.sha256(body).hexdigest())
    return {check_path(7): line.encode("ascii")}


def cut_at(body, cuts):
    """Replies that end the file's transfer at each (byte of the whole
    file, "reset" or "close") in turn, then give the rest."""
    replies = [Reply(body=body, ranges=True, drop_after=at, drop_how=how, headers=VALIDATED, **PACE)
               for at, how in cuts]
    return replies + [Reply(body=body, ranges=True, headers=VALIDATED, **PACE)]


class ResumeTestCase(DownloadTestCase):
    def run_offer(self, body, replies, old=b"old"):
        routes = dict(offered(body), **{TARGET: replies})
        return self.run_updater(dict(VERSION, **{NAME: old}), routes=routes, steps=ACCEPT,
                                timeout=RUN_CAP)

    def ranges_asked(self, result, header="range"):
        """The Range header (or another) of each request for the file (None: none)."""
        asked = []
        for request in result.requests:
            if request["target"] == TARGET:
                values = [v for n, v in request["headers"] if n.lower() == header]
                asked.append(values[0] if values else None)
        return asked

    def assert_continued_from(self, result, cuts):
        """One continuation per cut, each from the bytes that had arrived:
        exactly the cut after an orderly close; after a reset the bytes in
        flight are lost, so a later start (with bytes gained) is allowed."""
        asked = self.ranges_asked(result)
        self.assertEqual(len(asked), len(cuts) + 1, result.describe())
        self.assertIsNone(asked[0])
        previous = 0
        for (at, how), value in zip(cuts, asked[1:]):
            self.assertRegex(value, r"^bytes=\d+-$")
            start = int(value[6:-1])
            if how == "close":
                self.assertEqual(start, at, asked)
            else:
                self.assertTrue(previous < start <= at, asked)
            previous = start

    def assert_bar_never_went_back(self, result):
        [download] = result.windows_of("download")
        positions = [pos for pos, _, _ in download.bar(1001)]
        self.assertEqual(positions, sorted(positions), result.describe())


class Continuations(ResumeTestCase):
    def test_a_file_cut_once_is_continued_and_installs_exactly_right(self):
        for percent, how in ((10, "reset"), (50, "close"), (99, "reset")):
            with self.subTest(percent=percent, how=how):
                body = body_of(SIZE, percent)
                result = self.run_offer(body, cut_at(body, [(point(percent), how)]))

                self.assert_installed(result, {NAME: (b"old", body)})
                self.assert_continued_from(result, [(point(percent), how)])
                self.assert_bar_never_went_back(result)

    def test_a_file_cut_three_times_is_continued_three_times(self):
        body = body_of(SIZE, 3)
        cuts = [(point(10), "reset"), (point(50), "close"), (point(99), "reset")]
        result = self.run_offer(body, cut_at(body, cuts))

        self.assert_installed(result, {NAME: (b"old", body)})
        self.assert_continued_from(result, cuts)
        self.assert_bar_never_went_back(result)

    def test_a_read_that_waits_too_long_is_continued(self):
        body = body_of(SIZE, 4)
        replies = [Reply(body=body, piece_size=point(50), pause=STALL, headers=VALIDATED),
                   Reply(body=body, ranges=True, headers=VALIDATED, **PACE)]
        result = self.run_offer(body, replies)

        self.assert_installed(result, {NAME: (b"old", body)})
        self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % point(50)])


class WrongContinuations(ResumeTestCase):
    def test_a_server_that_ignores_the_range_has_the_file_started_over(self):
        body = body_of(SIZE, 5)
        replies = [Reply(body=body, **HALF_THEN_CLOSED), Reply(body=body),
                   Reply(body=body, **PACE)]
        result = self.run_offer(body, replies)

        self.assert_installed(result, {NAME: (b"old", body)})
        self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % point(50), None])

    def test_a_wrong_content_range_has_the_file_started_over(self):
        at = point(50)
        # Each answer's body is what its Content-Range says: taking any of
        # them for the rest would install wrong bytes.
        wrong = {
            "starts before": ("bytes %d-%d/%d" % (at - 100, SIZE - 1, SIZE), at - 100, SIZE),
            "ends short": ("bytes %d-%d/%d" % (at, SIZE - 2, SIZE), at, SIZE - 1),
            "another length": ("bytes %d-%d/%d" % (at, SIZE - 1, SIZE + 1), at, SIZE),
            "malformed": ("bytes %d-/%d" % (at, SIZE), at, SIZE),
            "missing": (None, at, SIZE),
        }
        for case, (content_range, start, end) in wrong.items():
            with self.subTest(case):
                body = body_of(SIZE, 6)
                headers = [("Content-Range", content_range)] if content_range else []
                replies = [Reply(body=body, **HALF_THEN_CLOSED),
                           Reply(status=206, reason="Partial Content", headers=headers,
                                 body=body[start:end]),
                           Reply(body=body, **PACE)]
                result = self.run_offer(body, replies)

                self.assert_installed(result, {NAME: (b"old", body)})
                self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % at, None])

    def test_a_server_that_never_gives_the_rest_fails_the_file_after_one_new_start(self):
        body = body_of(SIZE, 7)
        cut = Reply(body=body, **HALF_THEN_CLOSED)
        result = self.run_offer(body, [cut, Reply(body=body), cut, Reply(body=body)])

        self.assert_failed_download(result)
        self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % point(50)] * 2)

    def test_a_rest_of_other_bytes_fails_on_the_hash(self):
        body = body_of(SIZE, 8)
        other = body_of(SIZE, 9)
        result = self.run_offer(body, [Reply(body=body, **HALF_THEN_CLOSED),
                                       Reply(body=other, ranges=True, headers=VALIDATED, **PACE)])

        self.assert_failed_download(result)
        self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % point(50)])


class ChangedFiles(ResumeTestCase):
    def test_a_file_replaced_between_its_answers_is_installed_whole_in_its_new_form(self):
        old = body_of(SIZE, 10)
        new = body_of(SIZE, 11)
        # A line without a hash, as a program built without keys takes it:
        # only the validator keeps the halves of two versions apart.
        routes = {check_path(7): update_list([(file_url(NAME), SIZE)]),
                  TARGET: [Reply(body=old, **HALF_THEN_CLOSED),
                           Reply(body=new, ranges=True, headers=[("ETag", '"bbbb"')], **PACE)]}
        result = self.run_updater(dict(VERSION, **{NAME: b"old"}), routes=routes, steps=ACCEPT,
                                  timeout=RUN_CAP)

        self.assert_installed(result, {NAME: (b"old", new)})
        self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % point(50), None])
        self.assertEqual(self.ranges_asked(result, "if-range"), [None, ETAG, None])

    def test_a_server_that_ignores_if_range_has_the_file_started_over(self):
        old = body_of(SIZE, 12)
        new = body_of(SIZE, 13)
        at = point(50)
        # The rest of the new version under its own ETag, as a server that
        # ignores If-Range answers.
        other = [("ETag", '"bbbb"')]
        rest = Reply(status=206, reason="Partial Content", body=new[at:],
                     headers=other + [("Content-Range", "bytes %d-%d/%d" % (at, SIZE - 1, SIZE))])
        routes = {check_path(7): update_list([(file_url(NAME), SIZE)]),
                  TARGET: [Reply(body=old, **HALF_THEN_CLOSED), rest, Reply(body=new, headers=other, **PACE)]}
        result = self.run_updater(dict(VERSION, **{NAME: b"old"}), routes=routes, steps=ACCEPT,
                                  timeout=RUN_CAP)

        self.assert_installed(result, {NAME: (b"old", new)})
        self.assertEqual(self.ranges_asked(result), [None, "bytes=%d-" % at, None])


if __name__ == "__main__":
    unittest.main()
