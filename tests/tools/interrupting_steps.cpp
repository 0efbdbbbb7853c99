#include "update/install_steps.h"

#include <windows.h>

#include <cstdlib>

// Ends the process abruptly, as a power cut or an ended task would, once the
// installation has taken as many steps as UPDATER_INTERRUPT_AFTER says.
void step_taken()
{
    static int steps = 0;
    const char* limit = std::getenv("UPDATER_INTERRUPT_AFTER");
    if (limit != nullptr && ++steps == std::atoi(limit))
        TerminateProcess(GetCurrentProcess(), 1);
}
