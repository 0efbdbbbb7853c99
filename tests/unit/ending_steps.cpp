#include "tests/unit/ending_steps.h"

#include "update/install_steps.h"

namespace {

int taken = 0;
int last_step = 0;

}  // namespace

void end_after_step(int step)
{
    taken = 0;
    last_step = step;
}

int steps_taken()
{
    return taken;
}

void step_taken()
{
    if (++taken == last_step)
        throw InstallationEnded();
}
