"""End-to-end tests of what lets an installation survive: the program
updating its own file, and an installation cut short after each of its steps
and settled by the next start, before anything else and even offline."""

import os

from kit.cases import ACCEPT, VERSION, InstallTestCase, offer
from kit.paths import driver_exe, updater_exe
from kit.protocol import INSTALLED, NO_CONNECTION


def interrupted_exe():
    """The test-only updater that ends itself after an installation step."""
    value = os.environ.get("UPDATER_INTERRUPTED_EXE")
    if value:
        return os.path.abspath(value)
    return os.path.join(os.path.dirname(driver_exe()), "updater_interrupted.exe")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def without(files, *names):
    return {name: data for name, data in files.items() if name not in names}


class RecoveryTestCase(InstallTestCase):
    def start_offline(self, files, **options):
        """A later start without a connection: only the connection message."""
        result = self.run_updater(files, connected=False, steps=["answer OK"], **options)
        self.assertEqual([w.text for w in result.message_boxes], [NO_CONNECTION], result.describe())
        self.assertEqual(len(result.menu_runs), 1)
        return result


class SelfUpdate(RecoveryTestCase):
    def test_the_running_program_replaces_its_own_file(self):
        # Still a program that starts: bytes after the image are ignored.
        old_program = read(updater_exe())
        new_program = old_program + b"\0new updater"
        result = self.run_update({"a.dll": b"old a"}, {"a.dll": b"new a", "updater.exe": new_program})

        self.final_message(result, INSTALLED)
        self.assertEqual(result.files_after["updater.exe"], new_program)
        self.assertEqual(result.files_after["a.dll"], b"new a")
        left = set(without(result.files_after, "updater.exe", "a.dll")) - set(result.files_before)
        self.assertTrue(all(name.startswith("_update/") for name in left), result.describe())
        # A running image cannot be deleted: the old program waits aside.
        self.assertIn(old_program, [result.files_after[name] for name in left])

        later = self.start_offline(result.files_after, program="as-given")

        self.assertEqual(later.files_after, {name: data for name, data in result.files_after.items()
                                             if not name.startswith("_update/")})


class Interruption(RecoveryTestCase):
    """Installs wersja.txt and a.dll over old ones and adds added.dll; the
    program ends abruptly after step 1, 2, ... of the installation until a
    run gets through. The next start, offline, leaves every file new: each
    step comes after the journal, and every new copy is still there then."""

    FILES = dict(VERSION, **{"a.dll": b"old a", "kept.dll": b"kept"})
    OFFERED = {"wersja.txt": b"8", "a.dll": b"new a", "added.dll": b"added"}
    ALL_NEW = dict(FILES, **OFFERED)
    MOST_STEPS = 20

    def run_interrupted(self, step):
        os.environ["UPDATER_INTERRUPT_AFTER"] = str(step)
        try:
            return self.run_updater(dict(self.FILES, **{"updater.exe": read(interrupted_exe())}),
                                    program="as-given", routes=offer(self.OFFERED), steps=ACCEPT)
        finally:
            del os.environ["UPDATER_INTERRUPT_AFTER"]

    def installed_files(self, result):
        return {name: data for name, data in result.files_after.items()
                if name in self.ALL_NEW or name.rstrip("/") == "_update" or name.startswith("_update/")}

    def test_a_start_after_any_step_finishes_the_installation(self):
        states = []
        for step in range(1, self.MOST_STEPS + 1):
            with self.subTest(step=step):
                cut = self.run_interrupted(step)
                if cut.exit_code == 0:
                    self.assertEqual([w.text for w in cut.message_boxes][-1:], [INSTALLED], cut.describe())
                    break
                self.assertEqual(cut.exit_code, 1, cut.describe())
                self.assertEqual(cut.menu_runs, [])
                states.append(self.installed_files(cut))

                later = self.start_offline(without(cut.files_after, "updater.exe"))

                self.assertEqual(self.installed_files(later), self.ALL_NEW, later.describe())
        # Distinct folders after the steps: the program really ended in between.
        self.assertGreaterEqual(len({repr(sorted(s.items())) for s in states}), 6)
        self.assertLess(step, self.MOST_STEPS)
