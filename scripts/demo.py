"""Demo of the updater's main job on a small demo installation, served by the
project's own update server.

Publishes versions 1, 2 and 3 of a demo application with server/publish into
a demo release store (build/demo/server), as a vendor would, signing them with
the demo keys (release and freshness); serves the store with nginx + PHP-FPM
(the server manual's nginx block) inside a private network namespace; makes
build/demo/app holding version 1 (with the stand-in menu.exe); runs
updater.exe under Wine and tells step by step what happened, and how many
bytes menu.exe moved (the store's patch from version 1's to version 3's)
against its full size. Screenshots of every window go to build/demo/shots.

    demo.py --key PRIVATE_KEY --freshness-key PRIVATE_KEY [--build-dir DIR]
            [--manual] [--offline] [--forged] [--dpi N]

--manual leaves the windows to the user (on $DISPLAY); otherwise the UI
driver answers them as a person would (Yes, then OK). --offline runs without
a network connection. --forged puts a server on the path in place of the
update server: it offers a different menu.exe with its own size and hash,
under the genuine reply's signatures. --dpi shows the windows at that screen
DPI (Wine's LogPixels in the demo's prefix; 96 is 100 %, the default, 144
150 %, 192 200 %). Run through scripts/demo, which makes the keys and builds
first.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import harness  # noqa: E402
from reference_server import ReferenceServer  # noqa: E402

DEMO_DIR = os.path.join(REPO, "build", "demo")
# The resources come last of the files and take about two seconds at the
# demo server's rate, so that the download window can be watched (and is
# photographed) with both bars part way.
RESOURCES_SIZE = 512 * 1024
RATE = 256 * 1024

INSTALLED = {
    "wersja.txt": b"1",
    "czytaj.txt": b"Aplikacja demonstracyjna, wersja 1.\r\n",
    "menu.exe": harness.MENU,
    "dane/ustawienia.ini": b"[demo]\r\njezyk=pl\r\n",
}


def stand_in_menu(marker=b""):
    """The stand-in launcher; bytes appended to a program do not stop it running."""
    with open(harness.menu_exe(), "rb") as f:
        return f.read() + marker


def releases():
    """The files changed in each version of the demo application."""
    resources = bytes((i * 7) % 251 for i in range(RESOURCES_SIZE))
    return {
        1: {"czytaj.txt": INSTALLED["czytaj.txt"], "menu.exe": stand_in_menu()},
        2: {"czytaj.txt": "Aplikacja demonstracyjna, wersja 2: nowe zasoby.\r\n".encode("cp1250"),
            "zasoby.dat": resources},
        3: {"zasoby.dat": resources[::-1], "menu.exe": stand_in_menu(b"\0menu, wersja 3")},
    }


def publish_demo_store(key, freshness_key):
    """A fresh demo store with versions 1, 2 and 3, published as a vendor would."""
    folder = os.path.join(DEMO_DIR, "server")
    shutil.rmtree(folder, ignore_errors=True)
    server = ReferenceServer(folder, rate="%dk" % (RATE // 1024))
    for version, files in releases().items():
        release = os.path.join(folder, "release-%d" % version)
        os.makedirs(release)
        for name, data in files.items():
            with open(os.path.join(release, name), "wb") as f:
                f.write(data)
        print("$ server/publish release %d %s --key %s --freshness-key %s" % (
            version, os.path.relpath(release, REPO), os.path.relpath(key, REPO), os.path.relpath(freshness_key, REPO)))
        for line in server.publish("release", str(version), release, "--key", key,
                                   "--freshness-key", freshness_key).splitlines():
            print("    " + line)
    return server


def stored_reply(server, version):
    """(signature, freshness, body) of the store's reply for a version."""
    with open(os.path.join(server.store, "replies", "%d.reply" % version), "rb") as f:
        signature, freshness, body = f.read().split(b"\n", 2)
    return signature.decode("ascii"), freshness.decode("ascii"), body


def stored_file(server, url):
    """(path, bytes) of the store's file at a URL of a reply."""
    path = url.decode("ascii")[len("http://localhost"):]
    with open(os.path.join(server.store, path[1:]), "rb") as f:
        return path, f.read()


def forged_routes(server):
    """A server on the path: the genuine reply for version 1 with menu.exe's
    line changed to a different menu.exe, its own size and SHA-256 (and no
    patch), under the genuine signatures; every file and patch served as the
    genuine server would."""
    signature, freshness, body = stored_reply(server, 1)
    lines, routes = [], {}
    for line in body.split(b"\r\n"):
        fields = line.split(b",")
        path, data = stored_file(server, fields[0])
        if path.endswith("/menu.exe"):
            data = stand_in_menu(b"\0not from the vendor")
            line = b"%s,%d,%s" % (fields[0], len(data), hashlib.sha256(data).hexdigest().encode("ascii"))
        elif len(fields) > 3:
            patch_path, patch = stored_file(server, fields[3])
            routes[patch_path] = slowly(patch)
        routes[path] = slowly(data)
        lines.append(line)
    forged = b"\r\n".join(lines)
    routes[harness.check_path(1)] = harness.Reply(forged, headers=[("X-Update-Signature", signature),
                                                                   ("X-Update-Freshness", freshness)])
    return forged, routes


def slowly(data):
    """A file served at the demo server's rate."""
    piece = 16 * 1024
    return harness.Reply(data, piece_size=piece, pause=piece / RATE)


def menu_transfer(served):
    """What the server sent for menu.exe (its patch, the whole file, or the
    patch and then the whole file), against the whole file's size."""
    size = len(releases()[3]["menu.exe"])
    sent = [(r["request_line"].split(" ")[1], r["sent"]) for r in served
            if r["status"] == 200 and r["request_line"].split(" ")[1].endswith("/menu.exe")]
    if not sent:
        return "menu.exe: nothing was fetched"
    moved = sum(n for _, n in sent)
    how = ", then ".join("%s (%d bytes)" % ("the patch" if "/patches/" in path else "the whole file", n)
                         for path, n in sent)
    return "menu.exe: %d bytes moved for a %d-byte file (%.3f %% of it): %s" % (
        moved, size, 100.0 * moved / size, how)


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


def timeline(result, served):
    """Every observation of the run and of the reference server (served) as
    (time ms, text), in time order."""
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
    for r in served:
        entries.append((r["t"], "server answered %d with %d body bytes: %s" % (r["status"], r["sent"],
                                                                               r["request_line"])))
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
    parser.add_argument("--build-dir", default=os.path.join(DEMO_DIR, "mingw-x64"))
    parser.add_argument("--key", required=True, help="the demo's release key (server/publish keygen)")
    parser.add_argument("--freshness-key", required=True,
                        help="the demo's freshness key (server/publish keygen --freshness)")
    parser.add_argument("--manual", action="store_true", help="leave the windows to the user")
    parser.add_argument("--offline", action="store_true", help="run without a network connection")
    parser.add_argument("--forged", action="store_true",
                        help="a server on the path offers a different menu.exe")
    parser.add_argument("--dpi", type=int, default=96,
                        help="the screen's DPI the windows are shown at (default 96, i.e. 100 %%)")
    args = parser.parse_args()
    if args.dpi <= 0:
        parser.error("--dpi must be a positive number")
    if args.manual and not os.environ.get("DISPLAY", "").startswith(":"):
        sys.exit("--manual needs a local X display in $DISPLAY")

    os.environ["E2E_BUILD_DIR"] = os.path.abspath(args.build_dir)
    os.environ["E2E_WINEPREFIX"] = os.path.join(DEMO_DIR, "wine")
    print("Preparing the demo's Wine prefix (the first time takes a few seconds)...")
    harness.prepare_prefix(os.environ["E2E_WINEPREFIX"])
    harness.set_screen_dpi(args.dpi)
    print("The screen is at %d DPI (%d %% scaling)." % (args.dpi, round(args.dpi * 100 / 96)))

    print("Publishing versions 1, 2 and 3 of the demo application, as its vendor would:")
    server = publish_demo_store(os.path.abspath(args.key), os.path.abspath(args.freshness_key))
    print()
    describe_folder("Demo installation (version 1), with the stand-in menu.exe:",
                    dict(INSTALLED, **{"menu.exe": stand_in_menu()}))
    where = "127.0.0.1:80 in a private network namespace%s" % (
        ", which has no connection to the Internet" if args.offline else "")
    if args.forged:
        offer, routes = forged_routes(server)
        options = {"routes": routes}
        print("A forged server on the path (%s) answers version 1 with the genuine reply's signatures"
              " and a different menu.exe:" % where)
    else:
        offer = stored_reply(server, 1)[2]
        options = {"server_command": server.command()}
        print("The update server (nginx + PHP-FPM, %s) offers version 1:" % where)
    for line in offer.decode("cp1250").split("\r\n"):
        print("    " + line)
    print("Running updater.exe under Wine%s...\n" % (
        " -- answer its windows yourself" if args.manual else ", its windows answered by the UI driver"))

    # Yes to the question; a program that refuses the forged reply asks none.
    steps = [] if args.manual else ["shoot-part-way download", "answer YES", "auto-answer"]
    if args.offline and not args.manual:
        steps = ["answer OK"]
    run_dir = os.path.join(DEMO_DIR, "run")
    result = harness.run_updater(INSTALLED, connected=not args.offline, steps=steps,
                                 timeout=600 if args.manual else 120, keep_dir=run_dir, **options)

    start = result.events[0]["t"] if result.events else 0
    for t, text in timeline(result, server.requests()):
        print("  +%6.3f s  %s" % ((t - start) / 1000.0, text))
    print()
    describe_folder("Folder after the run (%s):" % result.work_dir, result.files_after)
    changed = result.changed_files()
    print("Changed: %s" % (", ".join(sorted(changed)) if changed else "nothing"))
    print("menu.exe now: %s" % describe_menu(result.files_after.get("menu.exe")))
    if not args.forged and not args.offline:
        print(menu_transfer(server.requests()))
    if args.forged:
        print("Nothing was installed and the old menu.exe started." if not changed else
              "The forged files were installed: this updater.exe was built without the vendor's keys.")
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


def describe_menu(data):
    known = {stand_in_menu(): "the stand-in of version 1", releases()[3]["menu.exe"]: "version 3's, from the vendor"}
    return "%s (SHA-256 %s)" % (known.get(data, "NOT FROM THE VENDOR"), hashlib.sha256(data or b"").hexdigest())


if __name__ == "__main__":
    sys.exit(main())
