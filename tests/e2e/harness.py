"""The end-to-end kit's public names under the harness's old name, for code
written against it; new code imports the kit's modules (kit/__init__.py)."""

from kit.cases import E2ETestCase  # noqa: F401
from kit.display import display  # noqa: F401
from kit.folders import MENU, snapshot  # noqa: F401
from kit.paths import (REPO, build_dir, driver_exe, failures_root, hold_file_exe, menu_exe,  # noqa: F401
                       setting, updater_exe, wine_path, wine_prefix, work_root)
from kit.processes import Namespace, end_process, read_text, wait_for  # noqa: F401
from kit.protocol import CHECK_PATH, MB_OK, MB_TOPMOST, MB_YESNO, Reply, check_path, file_url, update_list  # noqa: F401
from kit.record import RunResult, Window, read_json_lines  # noqa: F401
from kit.run import RUN_CAP, Run, run_updater  # noqa: F401
from kit.wine import (end_wine_session, kill_wineserver, prepare_prefix, prepare_process,  # noqa: F401
                      set_machine_guid, set_registry_value, set_screen_dpi, wine_attributes, wine_env)

# The old private names, for branches written before the kit.
_build_dir, _setting, _Namespace, _end_process, _read_text, _wait_for = \
    build_dir, setting, Namespace, end_process, read_text, wait_for
_read_json_lines, _kill_wineserver, _prepare_process, _set_registry_value, _wine_env = \
    read_json_lines, kill_wineserver, prepare_process, set_registry_value, wine_env
