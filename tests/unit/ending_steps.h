// The installation's step hook of the interruption test: it counts the
// steps and ends the installation right after a chosen one.
#pragma once

// Thrown out of the step after which the installation ends: nothing more
// reaches the disk, as if the process had ended there.
struct InstallationEnded {};

// From now on, the installation ends after its step number step (1 is the
// first); 0 lets it run to its end.
void end_after_step(int step);
int steps_taken();
