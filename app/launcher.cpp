#include "app/launcher.h"

#include <process.h>

void start_launcher()
{
    // The path keeps the runtime from looking anywhere but the working folder;
    // the command line is the bare name. A missing file simply fails to start.
    const char* arguments[] = {"menu.exe", nullptr};
    _spawnv(_P_NOWAIT, ".\\menu.exe", arguments);
}
