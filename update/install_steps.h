#pragma once

// Called after each step of the installation that changes the disk. The
// program links install_steps.cpp, where it does nothing; the recovery tests
// link a variant that ends the process after a chosen step.
void step_taken();
