"""Peak memory of updater.exe while it downloads one large file, against the
file's size. Not a test: run it by hand (as root) after a build.

    python3 tests/bench/peak_memory.py [MiB ...]      (default: 16 64 128)

Each size is one whole update run under Wine against the scripted server; the
script samples the updater's peak resident set (VmHWM) while it runs and
prints it beside the file size.
"""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import check_path, file_url, update_list  # noqa: E402


def updater_pids():
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command_line = f.read().lower()
        except OSError:
            continue
        if b"updater.exe" in command_line and b"python" not in command_line:
            pids.append(int(entry))
    return pids


def peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class PeakSampler(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.peak = 0
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.wait(0.05):
            for pid in updater_pids():
                self.peak = max(self.peak, peak_kib(pid))


def measure(mib):
    size = mib * 1024 * 1024
    body = bytes(range(256)) * (size // 256)
    sampler = PeakSampler()
    sampler.start()
    started = time.time()
    result = harness.run_updater(
        files={"wersja.txt": b"1"},
        routes={check_path(1): update_list([(file_url("big.bin"), size)]), "/files/big.bin": body},
        steps=["answer YES", "answer OK"], timeout=600)
    seconds = time.time() - started
    sampler.stopped.set()
    sampler.join()
    installed = result.files_after.get("big.bin") == body
    result.cleanup()
    return sampler.peak, seconds, installed


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [16, 64, 128]
    harness.prepare_prefix(harness.wine_prefix())
    print("file MiB  peak MiB  peak - file  installed  seconds")
    for mib in sizes:
        peak, seconds, installed = measure(mib)
        print("%8d  %8.1f  %11.1f  %9s  %7.1f" % (mib, peak / 1024, peak / 1024 - mib, installed,
                                                    seconds))


if __name__ == "__main__":
    main()
