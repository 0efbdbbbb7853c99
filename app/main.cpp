#include <windows.h>

#include "app/installation_lock.h"
#include "app/launcher.h"
#include "app/update_run.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/texts.h"

namespace {

// Whatever goes wrong inside the run, the application must still start.
bool run_update_safely()
{
    try {
        return run_update();
    } catch (...) {
        return false;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    module_instance = instance;
    // Taken before anything can change the folder and held to the end of
    // the process. A run that finds another holding it changes nothing and
    // shows nothing; menu.exe is started all the same.
    InstallationLock lock;
    if (lock.take() && run_update_safely())
        show_message(nullptr, text_update_installed, MB_OK | MB_TOPMOST);
    start_launcher();
    return 0;
}
