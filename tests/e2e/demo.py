"""Demo of the updater's main job on a small demo installation.

Makes build/demo/app holding version 1 of a demo application (with the
stand-in menu.exe), serves version 2 from the test update server inside a
private network namespace, runs updater.exe under Wine and tells step by step
what happened. Screenshots of every window go to build/demo/shots.

    demo.py [--build-dir DIR] [--manual] [--offline]

--manual leaves the windows to the user (on $DISPLAY); otherwise the UI
driver answers them as a person would (Yes, then OK). --offline runs without
a network connection. Run through scripts/demo, which builds first.
"""

import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import harness  # noqa: E402

DEMO_DIR = os.path.join(REPO, "build", "demo")
LIBRARY_SIZE = 24 * 1024

INSTALLED = {
    "wersja.txt": b"1",
    "czytaj.txt": b"Aplikacja demonstracyjna, wersja 1.\r\n",
    "dane/ustawienia.ini": b"[demo]\r\njezyk=pl\r\n",
}


def version_2_files():
    library = bytes((i * 7) % 251 for i in range(LIBRARY_SIZE))
    return {
        "wersja.txt": b"2",
        "czytaj.txt": "Aplikacja demonstracyjna, wersja 2: nowa biblioteka.\r\n".encode("cp1250"),
        "biblioteka.dat": library,
    }


def routes_for(update):
    offer = harness.update_list([(harness.file_url("v2/" + name), len(body))
                                 for name, body in update.items()])
    routes = {harness.check_path(1): offer}
    for name, body in update.items():
        # In 1 KiB pieces with short pauses, so that the bars visibly move.
        routes["/files/v2/" + name] = harness.Reply(body, piece_size=1024, pause=0.04)
    return offer, routes


def describe_folder(title, files):
    print(title)
    for name, data in sorted(files.items()):
        if data is None:
            print("    %s" % name)
        elif name.endswith(".exe"):
            print("    %-22s %7d bytes" % (name, len(data)))
        elif name.endswith(".txt") or name.endswith(".ini"):
            print("    %-22s %r" % (name, data.decode("cp1250")))
        else:
            print("    %-22s %7d bytes" % (name, len(data)))


KIND_NAMES = {"check": "check window (dialog 101)", "download": "download window (dialog 102)",
              "message": "message box"}
BUTTON_NAMES = {1: "OK", 2: "Cancel", 6: "Tak (Yes)", 7: "Nie (No)"}
BAR_NAMES = {1001: "file bar", 1003: "overall bar"}


def window_line(event, windows):
    w = windows[event["win"]]
    line = "%s \"%s\" shown" % (KIND_NAMES[w.kind], w.caption)
    if w.kind == "message":
        owner = "owned by the %s" % KIND_NAMES[w.owner.kind] if w.owner else "no owner"
        buttons = ", ".join(BUTTON_NAMES.get(b, str(b)) for b in w.buttons)
        line += ": \"%s\" [%s], %s" % (w.text, buttons, owner)
    return line


def timeline(result):
    """Every observation of the run as (time ms, text), in time order."""
    windows = {w.win: w for w in result.windows}
    entries = []
    for e in result.events:
        if e["ev"] == "shown":
            entries.append((e["t"], window_line(e, windows)))
        elif e["ev"] == "gone":
            entries.append((e["t"], "%s closed" % KIND_NAMES[windows[e["win"]].kind]))
        elif e["ev"] == "press":
            entries.append((e["t"], "pressed %s" % BUTTON_NAMES.get(e["id"], e["button"])))
        elif e["ev"] == "bar":
            entries.append((e["t"], "%s at %d of %d..%d" % (BAR_NAMES[e["id"]], e["pos"], e["min"], e["max"])))
        elif e["ev"] == "text":
            entries.append((e["t"], "file name shown: %s" % e["text"]))
    for r in result.requests:
        entries.append((r["t"], "server received: %s" % r["request_line"]))
        if r.get("done_t"):
            entries.append((r["done_t"], "server sent %d body bytes (%s)" % (r["sent"], r["ended"])))
    for m in result.menu_runs:
        entries.append((m["t"], "menu.exe ran: command line \"%s\", folder %s" % (m["command_line"], m["cwd"])))
    if result.exit_t:
        entries.append((result.exit_t, "updater.exe ended with exit code %s" % result.exit_code))
    return sorted(entries, key=lambda entry: entry[0])


def save_shots(result, folder):
    os.makedirs(folder, exist_ok=True)
    saved = []
    for number, bmp in sorted(result.shots().items()):
        png = os.path.join(folder, os.path.splitext(os.path.basename(bmp))[0] + ".png")
        subprocess.run(["convert", bmp, png], check=True, timeout=60)
        os.remove(bmp)
        saved.append(png)
    return saved


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "mingw-x64"))
    parser.add_argument("--manual", action="store_true", help="leave the windows to the user")
    parser.add_argument("--offline", action="store_true", help="run without a network connection")
    args = parser.parse_args()
    if args.manual and not os.environ.get("DISPLAY", "").startswith(":"):
        sys.exit("--manual needs a local X display in $DISPLAY")

    os.environ["E2E_BUILD_DIR"] = os.path.abspath(args.build_dir)
    os.environ["E2E_WINEPREFIX"] = os.path.join(DEMO_DIR, "wine")
    print("Preparing the demo's Wine prefix (the first time takes a few seconds)...")
    harness.prepare_prefix(os.environ["E2E_WINEPREFIX"])

    update = version_2_files()
    offer, routes = routes_for(update)
    describe_folder("Demo installation (version 1), with the stand-in menu.exe:", INSTALLED)
    print("The update server (127.0.0.1:80 in a private network namespace%s) offers for version 1:"
          % (", which has no connection to the Internet" if args.offline else ""))
    for line in offer.decode().split("\r\n"):
        print("    " + line)
    print("Running updater.exe under Wine%s...\n" % (
        " -- answer its windows yourself" if args.manual else ", its windows answered by the UI driver"))

    steps = [] if args.manual else ["answer YES", "auto-answer"]
    if args.offline and not args.manual:
        steps = ["answer OK"]
    run_dir = os.path.join(DEMO_DIR, "run")
    result = harness.run_updater(INSTALLED, connected=not args.offline, routes=routes, steps=steps,
                                 timeout=600 if args.manual else 120, keep_dir=run_dir)

    start = result.events[0]["t"] if result.events else 0
    for t, text in timeline(result):
        print("  +%6.3f s  %s" % ((t - start) / 1000.0, text))
    print()
    describe_folder("Folder after the run (%s):" % result.work_dir,
                    {k: v for k, v in result.files_after.items()})
    changed = result.changed_files()
    print("Changed: %s" % (", ".join(sorted(changed)) if changed else "nothing"))
    shots_dir = os.path.join(DEMO_DIR, "shots")
    shutil.rmtree(shots_dir, ignore_errors=True)
    shots = save_shots(result, shots_dir)
    print("Screenshots:")
    for png in shots:
        print("    " + os.path.relpath(png, REPO))
    if result.timed_out:
        print("updater.exe did not end in time and was stopped.")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
