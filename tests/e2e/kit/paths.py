"""Where the programs, the prefix and the runs' folders are.

Configuration comes from the environment (ctest sets it): UPDATER_EXE,
UI_DRIVER_EXE, FAKE_MENU_EXE, E2E_WINEPREFIX, E2E_WORK_DIR, E2E_FAILURES_DIR;
or E2E_BUILD_DIR, from which all of them are derived (default build/mingw-x64).
HOLD_FILE_EXE (tests/tools/hold_file.cpp) defaults to hold_file.exe beside
the UI driver.
"""

import os

KIT = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(os.path.dirname(KIT)))


def build_dir():
    return os.path.abspath(os.environ.get("E2E_BUILD_DIR", os.path.join(REPO, "build", "mingw-x64")))


def setting(name, *default_parts):
    value = os.environ.get(name)
    return os.path.abspath(value) if value else os.path.join(build_dir(), *default_parts)


def updater_exe():
    return setting("UPDATER_EXE", "app", "updater.exe")


def driver_exe():
    return setting("UI_DRIVER_EXE", "tests", "tools", "ui_driver.exe")


def menu_exe():
    return setting("FAKE_MENU_EXE", "tests", "tools", "menu.exe")


def hold_file_exe():
    value = os.environ.get("HOLD_FILE_EXE")
    return os.path.abspath(value) if value else os.path.join(os.path.dirname(driver_exe()), "hold_file.exe")


def wine_prefix():
    return setting("E2E_WINEPREFIX", "wine-e2e")


def work_root():
    return setting("E2E_WORK_DIR", "e2e-work")


def failures_root():
    return setting("E2E_FAILURES_DIR", "e2e-failures")


def wine_path(path):
    """The Windows name of a host path (drive Z: is the host's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")
