#include "update/install_steps.h"

void step_taken() {}
