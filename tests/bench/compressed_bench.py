"""Whole files compressed, across a shaped line. Run by scripts/bench
--compressed (as root, after a build):

    python3 tests/bench/compressed_bench.py [--links 10,100] [--rounds 3]
                                            [--baseline EXE] [--out FILE]

Three files, each updated whole (no patch applies) from a second nginx
across the line of shaped_link.py, the check answered on loopback, as in
bench.py's shaped-link rows: a real Windows DLL (DLL, the mingw-w64 C++
runtime, stripped as an application ships it), menu.exe rebuilt (the new
form of bench.py's "menu") and RANDOM_MIB MiB of random bytes. Each is
compressed by the update server's own code (server/src/compressed_forms.php)
and offered in two lists: plain (URL,SIZE,SHA256) and with its compressed
form in fields 7 and 8. The random bytes' form is not worth keeping, so
the server offers them plain only: their second list is plain too, and
--baseline names a program built from before compressed forms (an
updater.exe) that updates them beside today's, to show that the raw path
is no slower.

Round by round, every rate in each round, for each file: curl fetching the
raw file, updater.exe through the plain list and through the list with the
compressed form, in turns first (and the baseline, for the random bytes). Each run is
checked (the folder's file, the one request it must make and no other)
and measured as bench.py's patch rows measure: from the answer Yes to the
file written, the body bytes nginx sent for the run, the peak resident set.

Last, on no line, the decoder alone under Wine (xz_rate.exe): the fastest
of DECODES decodes of each compressed form, in MiB/s of decoded bytes, and
its process's peak resident set.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
import urllib.parse

import bench
import shaped_link
from bench import BenchError, MIB, WINE64, built, digest, ratio, request_path, spread
from kit.paths import wine_path

HERE = os.path.dirname(os.path.abspath(__file__))
DLL = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll"
RANDOM_MIB = 4
DECODES = 5
VERSION_PLAIN_BASE = 100
VERSION_COMPRESSED_BASE = 200
# Makes $argv[2], the compressed form of $argv[1], as publishing does; exit
# code 3 when the server would not keep it.
COMPRESS = ("require $argv[3]; exit((Compressor::find() ?? throw new RuntimeException('no xz'))"
            "->make($argv[1], $argv[2]) ? 0 : 3);")
COMPRESSED_FORMS = os.path.join(HERE, "..", "..", "server", "src", "compressed_forms.php")


class WholeFile:
    """A file the link's server offers, its compressed form beside it when
    the server would keep one (compressed_size 0 otherwise)."""

    def __init__(self, server, index, label, name, source):
        self.server, self.index, self.label, self.name = server, index, label, name
        path = server.file_path(name)
        shutil.copyfile(source, path)
        self.xz_name = "xz/%s.xz" % name
        self.xz_path = server.file_path(self.xz_name)
        done = subprocess.run(["php", "-r", COMPRESS, path, self.xz_path, COMPRESSED_FORMS],
                              capture_output=True, text=True, timeout=600)
        if done.returncode not in (0, 3):
            raise BenchError("compressing %s failed: %s" % (name, done.stdout + done.stderr))
        self.compressed_size = os.path.getsize(self.xz_path) if done.returncode == 0 else 0
        self.url = server.base_url + name
        self.xz_url = server.base_url + self.xz_name
        self.size = os.path.getsize(path)
        self.digest = digest(path)

    def offer(self, check_server):
        plain = "%s,%d,%s" % (self.url, self.size, self.digest)
        compressed = plain + (",,,,%s,%d" % (self.xz_url, self.compressed_size)
                              if self.compressed_size else "")
        for version, line in ((VERSION_PLAIN_BASE + self.index, plain),
                              (VERSION_COMPRESSED_BASE + self.index, compressed)):
            with open(os.path.join(check_server.www, "check", str(version)), "wb") as f:
                f.write(line.encode("ascii"))


def made_files(server, folder):
    random_path = os.path.join(folder, "random.bin")
    with open(random_path, "wb") as f:
        f.write(os.urandom(RANDOM_MIB * MIB))
    menu_old, menu_new = os.path.join(folder, "menu-old.exe"), os.path.join(folder, "menu.exe")
    bench.rebuilt_menu(folder)(menu_old, menu_new)
    dll = os.path.join(folder, os.path.basename(DLL))
    subprocess.run(["x86_64-w64-mingw32-strip", "-o", dll, DLL], check=True, timeout=120)
    return [WholeFile(server, 0, os.path.basename(DLL) + " stripped", os.path.basename(DLL), dll),
            WholeFile(server, 1, "menu.exe rebuilt", "menu.exe", menu_new),
            WholeFile(server, 2, "%d MiB random" % RANDOM_MIB, "random.bin", random_path)]


def whole_update(runner, item, compressed, program=("app", "updater.exe")):
    """The program updating item's installed form (other bytes) whole, from
    the plain list or the one with the compressed form."""
    version = (VERSION_COMPRESSED_BASE if compressed else VERSION_PLAIN_BASE) + item.index
    fetched = urllib.parse.urlsplit(item.xz_url if compressed and item.compressed_size
                                    else item.url).path
    finished, run_dir, work, answered = runner.update(version, {item.name: item}, program=program)
    requests = item.server.requests_until(fetched)
    if [request_path(r) for r in requests] != [fetched] or requests[0][2] != 200:
        raise BenchError("%s update of %s: expected one good request for %s, logged: %r" % (
            "compressed" if compressed else "plain", item.name, fetched, requests))
    written = os.stat(os.path.join(work, item.name)).st_mtime
    start, end = requests[0][:2]
    result = {"update": written - answered, "before": start - answered, "after": written - end,
              "wire": requests[0][3], "peak": finished.peak_kib / 1024}
    shutil.rmtree(run_dir)
    return result


def measure_link(runner, link, files, rates, rounds, baseline, samples, progress):
    for number in range(1, rounds + 1):
        for mbit in rates:
            link.set_rate(mbit)
            for item in files:
                progress("round %d: %d Mbit/s, %s" % (number, mbit, item.label))
                key = (mbit, item.index)
                samples.add(("curl",) + key, runner.curl(item))
                # Each first in every other round, so that neither always
                # follows curl.
                for compressed in ((False, True) if number % 2 else (True, False)):
                    samples.add(("compressed" if compressed else "plain",) + key,
                                whole_update(runner, item, compressed))
                if baseline and not item.compressed_size:
                    samples.add(("baseline",) + key,
                                whole_update(runner, item, compressed=False, program=baseline))


def decoder_rate(runner, item):
    """xz_rate.exe on item's compressed form: {seconds, rate, peak}."""
    command = runner.namespace.command(WINE64, built("tests", "bench", "xz_rate.exe"),
                                       wine_path(item.xz_path), str(item.size), str(DECODES))
    process = subprocess.Popen(command, env=runner.env, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True, start_new_session=True)
    sampler = bench.PeakSampler(process.pid)
    out, _ = process.communicate(timeout=600)
    sampler.ended.set()
    sampler.join()
    if process.returncode != 0:
        raise BenchError("xz_rate.exe could not decode %s (exit code %d)" % (
            item.xz_name, process.returncode))
    seconds, rate = out.split()
    return {"seconds": float(seconds), "rate": float(rate), "peak": sampler.peak / 1024}


def table(samples, files, rates, rounds):
    lines = []
    add = lines.append
    add("compressed whole files, %s UTC, %d round%s: median (min–max)" % (
        time.strftime("%Y-%m-%d %H:%M", time.gmtime()), rounds, "" if rounds == 1 else "s"))
    add("machine: " + bench.machine())
    width = 44
    for item in files:
        add("")
        add("%-*s" % (width, "shaped link: " + item.label)
            + "".join("%-26s" % ("%d Mbit/s" % mbit) for mbit in rates))

        def row(label, cell):
            add("%-*s" % (width, label) + "".join("%-26s" % cell((mbit, item.index))
                                                  for mbit in rates))

        def get(kind, key, measure):
            return samples.get((kind,) + key, measure)

        add("%-*s%d" % (width, "file size bytes", item.size))
        add("%-*s%s" % (width, "compressed form bytes",
                        "%d (%.1f %%)" % (item.compressed_size, 100 * item.compressed_size / item.size)
                        if item.compressed_size else "- (not kept: offered plain)"))
        row("plain run, bytes on the wire", lambda k: bench.count(get("plain", k, "wire")))
        row("compressed run, bytes on the wire", lambda k: bench.count(get("compressed", k, "wire")))
        row("compressed / plain, bytes on the wire %",
            lambda k: spread([c / p for c, p in zip(get("compressed", k, "wire"),
                                                    get("plain", k, "wire"))], 100, 1))
        row("curl of the file, download s", lambda k: spread(get("curl", k, "download")))
        for kind in ("plain", "compressed"):
            row(kind + " run, update s", lambda k: spread(get(kind, k, "update")))
            row("  Yes to the request s", lambda k: spread(get(kind, k, "before")))
            row("  last byte to the file written s", lambda k: spread(get(kind, k, "after")))
        row("compressed run / plain run", lambda k: ratio(get("compressed", k, "update"),
                                                          get("plain", k, "update")))
        row("plain run, peak memory MiB", lambda k: spread(get("plain", k, "peak"), digits=1))
        row("compressed run, peak memory MiB",
            lambda k: spread(get("compressed", k, "peak"), digits=1))
        if (("baseline", rates[0], item.index), "update") in samples.values:
            row("baseline program, plain run, update s",
                lambda k: spread(get("baseline", k, "update")))
            row("plain run / baseline program's", lambda k: ratio(get("plain", k, "update"),
                                                                  get("baseline", k, "update")))
    add("")
    add("%-*s%s" % (width, "decoder alone under Wine", "MiB/s            s                  peak MiB"))
    for item in files:
        if item.compressed_size:
            add("%-*s%-17s%-19s%s" % (width, "  " + item.label,
                                      spread(samples.get(("decoder", item.index), "rate"), digits=1),
                                      spread(samples.get(("decoder", item.index), "seconds")),
                                      spread(samples.get(("decoder", item.index), "peak"), digits=1)))
    return "".join(line.rstrip() + "\n" for line in lines)


def main():
    parser = argparse.ArgumentParser(description="Whole files compressed, across a shaped line"
                                                 " (needs root).")
    parser.add_argument("--links", default="10,100", help="rates in Mbit/s (default 10,100)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--baseline", help="an updater.exe from before compressed forms, which"
                                           " also updates the random bytes")
    parser.add_argument("--out", default=os.path.join(bench.build_dir(), "bench",
                                                      "compressed-table.txt"),
                        help="where the table is written")
    args = parser.parse_args()
    rates = [int(r) for r in args.links.split(",") if r]
    if not rates:
        parser.error("--links names at least one rate")
    if os.geteuid() != 0:
        sys.exit("the benchmark needs root (network namespaces, port 80)")
    baseline = os.path.abspath(args.baseline) if args.baseline else None

    def measure_all(runner, namespace, progress):
        samples = bench.Samples()
        link = shaped_link.ShapedLink(namespace)
        link_server = None
        try:
            link_server = bench.Server(os.path.join(runner.root, "link-server"), link.server,
                                       shaped_link.SERVER_ADDRESS)
            progress("making the files and their compressed forms")
            os.makedirs(os.path.join(runner.root, "made"))
            files = made_files(link_server, os.path.join(runner.root, "made"))
            for item in files:
                item.offer(runner.server)
            # Warm-up: the page cache, Wine's first load of each program.
            for item in files:
                runner.curl(item)
            # built() keeps an absolute path as it is.
            measure_link(runner, link, files, rates, args.rounds, baseline and (baseline,),
                         samples, progress)
            progress("the decoder alone")
            for item in files:
                if item.compressed_size:
                    samples.add(("decoder", item.index), decoder_rate(runner, item))
        finally:
            if link_server:
                link_server.stop()
            link.delete()
        return table(samples, files, rates, args.rounds)

    text = bench.in_session("compressed-", measure_all)
    bench.write_table(text, args.out)
    sys.stdout.write(text)


if __name__ == "__main__":
    try:
        main()
    except BenchError as error:
        sys.exit("bench: %s" % error)
